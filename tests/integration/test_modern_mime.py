"""mime=modern against real Dovecot with messages from real composers
(Python's email package, s-nail, mpack): the body is the plain text
alternative in the host's charset, every attachment's bytes and decoded name
match what Python's email package makes of the message; with the classic
walker (the default) nothing changes."""
import os
import shutil
import tempfile
from email.message import EmailMessage

import pytest

from conftest import USER, PASSWORD
from modern_support import (ESC, expected_parts, mpack_message, numbered, s_nail_message, scratch,
                            set_option, wire)

PDF = bytes(range(256)) * 40 + b"%%EOF\r\n"
HTML = "<html><body><p>Grüße aus <b>Köln</b></p></body></html>\n"
TEXT = "Grüße aus Köln,\nnaïve café.\n.leading dot\n"


def headed(msg, subject):
    msg["From"] = "Jörg <joerg@example.org>"
    msg["To"] = "%s@example.org" % USER
    msg["Subject"] = subject
    return msg


def python_alternative_with_attachments():
    msg = headed(EmailMessage(), "Grüße mit Anhang")
    msg.set_content(TEXT)
    msg.add_alternative(HTML, subtype="html")
    msg.add_attachment(PDF, maintype="application", subtype="pdf", filename="Prüfbericht März.pdf")
    msg.add_attachment("Zeile eins\nZeile zwei = drei\n" + "x" * 100 + "\n", subtype="plain",
                       filename="notiz.txt", cte="quoted-printable")
    long_name = "sehr-langer-Dateiname-mit-Umlauten-äöü-" * 3 + ".bin"
    msg.add_attachment(b"\x00\x01payload\xff", maintype="application", subtype="octet-stream",
                       filename=long_name)
    return wire(msg)


def python_related():
    msg = headed(EmailMessage(), "related")
    msg.set_content("plain version\n")
    msg.add_alternative(HTML, subtype="html")
    msg.get_payload()[1].add_related(b"\x89PNG\r\n\x1a\nimage", maintype="image", subtype="png",
                                     cid="<img1@example.org>", filename="bild.png")
    msg.add_attachment(b"zip-bytes" * 50, maintype="application", subtype="zip", filename="archiv.zip")
    return wire(msg)


def python_html_only_alternative():
    msg = headed(EmailMessage(), "no plain")
    msg.set_content(HTML, subtype="html")
    msg.add_alternative("<p>second html</p>\n", subtype="html")
    return wire(msg)


def python_legacy_charsets():
    msg = headed(EmailMessage(), "=?koi8-r?b?8NLJ18XU?=")
    del msg["Subject"]
    msg["Subject"] = "Привет"
    msg.set_content("Zürich 1252 – quotes “x”\n", charset="windows-1252")
    msg.add_attachment("Pâté\n".encode("iso-8859-15"), maintype="text", subtype="plain",
                       filename="pâté.txt")
    return wire(msg)


def composed(kind, tmp):
    if kind == "python-alternative":
        return python_alternative_with_attachments()
    if kind == "python-related":
        return python_related()
    if kind == "python-html-only":
        return python_html_only_alternative()
    if kind == "python-legacy":
        return python_legacy_charsets()
    if kind == "s-nail":
        return s_nail_message(tmp, "Grüße aus Köln", "Hallo Wörld, naïve café\n",
                              [("Grüße café.txt", b"Anhang Inhalt\nZeile 2\n"),
                               ("daten.bin", PDF)])
    if kind == "mpack":
        return mpack_message(tmp, "mpack", "x y.bin", PDF)
    raise AssertionError(kind)


KINDS = ["python-alternative", "python-related", "python-html-only", "python-legacy", "s-nail",
         "mpack"]


@pytest.fixture
def tmp():
    d = scratch()
    yield d
    shutil.rmtree(d, ignore_errors=True)


def fetch(host, mailbox, options, outdir, n=1):
    s = host.session()
    try:
        for name, value in options.items():
            assert set_option(s, name, value) == 0
        assert s.logon(mailbox.server, USER, PASSWORD) == 0
        result = s.get(n, outdir)
        s.logoff()
        return result
    finally:
        s.cleanup()


def read_files(outdir, files):
    out = []
    for name in files.split(ESC) if files else []:
        with open(os.path.join(outdir.encode(), name), "rb") as f:
            out.append((name, f.read()))
    return out


@pytest.mark.parametrize("kind", KINDS)
def test_modern_body_and_files_match_the_composer(mailbox, lib, tmp, kind):
    import brevorin_ffi
    data = composed(kind, tmp)
    mailbox.add_message(USER, data)
    outdir = tempfile.mkdtemp(dir=tmp)
    with brevorin_ffi.Host(lib=lib, charset="LATIN1") as host:
        status, header, body, files = fetch(host, mailbox, {"mime": "modern"}, outdir)
    want_body, want_files = expected_parts(data, "latin-1")
    lossy = b"?" in want_body or any(b"?" in n for n, _ in want_files)
    assert status == (1 if lossy else 0), host.lines
    assert body == want_body
    assert read_files(outdir, files) == numbered(want_files)


def test_characters_the_host_lacks_become_question_marks(mailbox, lib, tmp):
    import brevorin_ffi
    msg = headed(EmailMessage(), "euro")
    msg.set_content("Preis: 5 € statt 6 €\n")
    msg.add_attachment(b"data", maintype="application", subtype="octet-stream", filename="€-Liste.bin")
    mailbox.add_message(USER, wire(msg))
    with brevorin_ffi.Host(lib=lib, charset="LATIN1") as host:
        status, _, body, files = fetch(host, mailbox, {"mime": "modern"}, tmp)
    assert status == 1
    assert body == b"Preis: 5 ? statt 6 ?\r\n"
    assert files == b"?-Liste.bin"


def nested(depth):
    """A message whose text sits inside depth nested multipart/mixed parts."""
    inner = "Content-Type: text/plain\r\n\r\ndeep text\r\n"
    for level in range(depth, 0, -1):
        b = "b%02d" % level
        inner = ("Content-Type: multipart/mixed; boundary=\"%s\"\r\n\r\n--%s\r\n%s\r\n--%s--\r\n"
                 % (b, b, inner, b))
    return ("From: a@example.org\r\nTo: %s@example.org\r\nSubject: deep\r\nMIME-Version: 1.0\r\n"
            % USER + inner).encode()


@pytest.mark.parametrize("depth,status,body", [(16, 0, b"deep text\r\n"), (17, 1, b"")])
def test_nesting_deeper_than_sixteen_is_skipped(mailbox, lib, tmp, depth, status, body):
    import brevorin_ffi
    mailbox.add_message(USER, nested(depth))
    with brevorin_ffi.Host(lib=lib, charset="LATIN1") as host:
        got = fetch(host, mailbox, {"mime": "modern"}, tmp)
    assert (got[0], got[2]) == (status, body)


@pytest.mark.parametrize("kind", KINDS)
def test_classic_option_changes_nothing(mailbox, lib, tmp, kind):
    import brevorin_ffi
    mailbox.add_message(USER, composed(kind, tmp))
    results = []
    for options in ({}, {"mime": "classic"}):
        outdir = tempfile.mkdtemp(dir=tmp)
        with brevorin_ffi.Host(lib=lib, charset="LATIN1") as host:
            status, header, body, files = fetch(host, mailbox, options, outdir)
            lines = [l.replace(outdir, "DIR") for l in host.lines if "Opened socket" not in l]
        results.append((status, header, body, read_files(outdir, files), lines))
    assert results[0] == results[1]
