"""The UTF-8 host charset: a message sent by a UTF-8 host through aiosmtpd
into Dovecot comes back with subject, text and attachment names intact; a
Latin-1 host receives UTF-8 text converted."""
import email
import email.policy
import os
import shutil

import pytest

import brevorin_ffi
from conftest import USER, PASSWORD
from modern_support import ESC, scratch, set_option
from servers import SmtpSink

SUBJECT = "Grüße aus Köln – 東京 ✓ " + "lang " * 12
TEXT = "Grüße aus Köln\n東京タワー\n.Punkt am Anfang\n"
LATIN_TEXT = "Grüße aus Köln, naïve café\n"
NAME = "Prüfbericht 東京.txt"


def flat(text):
    """Line ends as LF, without the empty lines the composer adds at the end."""
    return text.replace(b"\r\n", b"\n").rstrip(b"\n")


@pytest.fixture
def tmp():
    d = scratch()
    yield d
    shutil.rmtree(d, ignore_errors=True)


def send_as(lib, charset, mailbox, text, attachment, mime_options=()):
    sink = SmtpSink(deliver_to=(mailbox, USER)).start()
    try:
        with brevorin_ffi.Host(lib=lib, charset=charset) as host:
            s = host.session()
            headers = brevorin_ffi.header_list(to="%s@example.org" % USER, from_="me@example.org",
                                               subject=SUBJECT.encode())
            status = s.send(sink.server, headers, text.encode(), attachment.encode())
            s.cleanup()
    finally:
        sink.stop()
    assert status == 0
    return sink.messages[0]["data"]


def receive_as(lib, charset, mailbox, outdir, options):
    with brevorin_ffi.Host(lib=lib, charset=charset) as host:
        s = host.session()
        for name, value in options.items():
            assert set_option(s, name, value) == 0
        assert s.logon(mailbox.server, USER, PASSWORD) == 0
        listing = s.list()
        got = s.get(1, outdir)
        s.logoff()
        s.cleanup()
    return listing, got


@pytest.mark.parametrize("mime", ["classic", "modern"])
def test_utf8_host_round_trip(mailbox, lib, tmp, mime):
    path = os.path.join(tmp, NAME)
    with open(path, "wb") as f:
        f.write(b"attached \x00\xff bytes\n")
    data = send_as(lib, "UTF8", mailbox, TEXT, path)
    # What went out is what other readers take for it.
    msg = email.message_from_bytes(data, policy=email.policy.default)
    assert msg["Subject"] == SUBJECT
    assert [p.get_filename() for p in msg.iter_attachments()] == [NAME]
    assert flat(next(msg.iter_parts()).get_content().encode()) == flat(TEXT.encode())
    assert next(msg.iter_parts())["Content-Type"].params["charset"] == "utf-8"

    outdir = os.path.join(tmp, "out")
    os.mkdir(outdir)
    (count, listing), (status, header, body, files) = receive_as(lib, "UTF-8", mailbox, outdir,
                                                                 {"mime": mime})
    assert count == 1
    assert brevorin_ffi.list_records(listing)[0]["SUBJECT"] == SUBJECT.encode()
    assert status == 0
    assert flat(body) == flat(TEXT.encode())
    if mime == "modern":
        assert files == NAME.encode()
        with open(os.path.join(outdir, NAME), "rb") as f:
            assert f.read() == b"attached \x00\xff bytes\n"


@pytest.mark.parametrize("text_cte", ["quoted-printable", "base64"])
def test_latin1_host_receives_utf8_text_converted(mailbox, lib, tmp, text_cte):
    text = LATIN_TEXT if text_cte == "quoted-printable" else "äöüß" * 30 + "\n"
    send_as(lib, "UTF8", mailbox, text, "")
    raw = mailbox.message_files(USER)[0]
    with open(raw, "rb") as f:
        assert ("Content-Transfer-Encoding: " + text_cte).encode() in f.read()
    (count, listing), (status, header, body, files) = receive_as(lib, "LATIN1", mailbox, tmp,
                                                                 {"mime": "modern"})
    assert flat(body) == flat(text.encode("latin-1"))
    # The subject's CJK characters are not in Latin-1.
    subject = brevorin_ffi.list_records(listing)[0]["SUBJECT"]
    assert subject == SUBJECT.encode("latin-1", "replace")
    assert status == 0
