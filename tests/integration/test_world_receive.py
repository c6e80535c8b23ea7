"""Mail shaped the way large providers and other mail programs send it,
delivered to a real Dovecot and read back through the C ABI: listing
records, header records, bodies, statuses, warnings and files. One table;
each row is a small message of our own with the shape that went wrong, and
a check of what a host sees. Python's email (policy=default) is the judge
where a parser's reading is the question."""
import collections
import email
import email.policy
import os

import pytest

import brevorin_ffi
from conftest import USER, PASSWORD

Received = collections.namedtuple(
    "Received", "listing status header body files lines directory")


def crlf(text):
    data = text.encode("utf-8") if isinstance(text, str) else text
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def python_message(raw):
    return email.message_from_bytes(raw, policy=email.policy.default)


def receive(mailbox, tmp_path, raw, charset="UTF8", mime="modern", protocol="pop3"):
    """Lists and fetches the one message of a fresh mailbox."""
    mailbox.add_message(USER, raw)
    host = brevorin_ffi.Host(charset=charset)
    s = host.session()
    directory = tmp_path / "files"
    directory.mkdir()
    try:
        assert s.setoptions({"mime": mime, "protocol": protocol,
                             "allow_plaintext_auth": "yes"}) == 0
        server = mailbox.imap_server if protocol == "imap" else mailbox.server
        assert s.logon(server, USER, PASSWORD) == 0
        status, listing = s.list()
        assert status == 1, (status, host.lines)
        records = brevorin_ffi.list_records(listing)
        status, header, body, files = s.get(1, str(directory))
        s.logoff()
    finally:
        s.cleanup()
        host.close()
    names = [f for f in files.split(b"\x1b") if f]
    return Received(records[0], status, dict(brevorin_ffi.fields(header)), body, names,
                    list(host.lines), directory)


# Each area of the library adds its rows here: (id, raw message, host
# charset, mime rules, check(received)). A check asserts what a host sees.
HEADER_FIELD_CASES = []
def _text_message(charset, payload, encoding="base64", ctype="text/plain"):
    """A single text part, its payload encoded by the given transfer encoding."""
    import base64
    head = ("MIME-Version: 1.0\nFrom: a@example.org\nTo: b@example.org\nSubject: t\n"
            "Content-Type: %s; charset=\"%s\"\nContent-Transfer-Encoding: %s\n\n"
            % (ctype, charset, encoding)).encode()
    if encoding == "base64":
        payload = base64.encodebytes(payload)
    return crlf(head + payload)


def _shown(text, host):
    """What a host of the charset shows for a text: U+FFFD on a UTF-8 host,
    '?' for what another host's set lacks; line ends as LF."""
    data = text.encode("utf-8") if host == "UTF8" else text.encode("latin-1", "replace")
    return data.replace(b"\r\n", b"\n")


def _text_check(replaced=None, status=0, host="UTF8"):
    """The body is Python's reading of the text part, a NUL shown as a
    replacement; replaced names the W line the status 1 comes with."""
    def check(r, raw):
        expected = python_message(raw).get_body(("plain", "html")).get_content()
        if "<" in expected:  # an HTML part: only its words
            assert b"\x00" not in r.body
            expected = expected.split(">")[1].split("<")[0] + "\n"
        assert r.body.replace(b"\r\n", b"\n") == _shown(expected.replace("\x00", "\ufffd"), host), \
            r.body
        assert r.status == status
        warned = [l for l in r.lines if "<W1> POP3_PARSE_MIME:" in l]
        if replaced is None:
            assert not warned, r.lines
        else:
            assert warned and all(replaced in l for l in warned), r.lines
    return check


def _file_check(name, warning=None, status=0, body=b""):
    """The part is a file of the bytes Python decodes (undecoded where it
    knows no decoder either)."""
    def check(r, raw):
        parts = [p for p in python_message(raw).walk() if p.get_filename() == name]
        assert r.files == [name.encode()], (r.files, r.lines)
        assert (r.directory / name).read_bytes() == parts[0].get_payload(decode=True)
        assert r.status == status, r.lines
        assert r.body == body
        if warning:
            assert any("<W1> " + warning in l for l in r.lines), r.lines
        else:
            assert not any("<W" in l for l in r.lines), r.lines
    return check


def _uuencoded(data, begin_name):
    import binascii
    lines = [b"begin 644 " + begin_name]
    lines += [binascii.b2a_uu(data[i:i + 45]).rstrip(b"\n") for i in range(0, len(data), 45)]
    return b"\n".join(lines + [b"`", b"end"]) + b"\n"


def _attached(ctype, encoding, payload):
    return crlf(b"MIME-Version: 1.0\nFrom: a@example.org\nTo: b@example.org\nSubject: t\n"
                b"Content-Type: multipart/mixed; boundary=\"=b\"\n\n--=b\n"
                b"Content-Type: " + ctype + b"\nContent-Transfer-Encoding: " + encoding +
                b"\n\n" + payload + b"--=b--\n")


_ZIP = bytes((i * 7919 + i // 251) & 0xFF for i in range(60000))
_TEXT = "Grüße aus Köln, Привет\r\nzweite Zeile\r\n"


def _text_row(name, raw, check, charset="UTF8", mime="modern"):
    return (name, raw, charset, mime, lambda r: check(r, raw))


TEXT_CASES = [
    _text_row("stray-byte-utf8-host",
              _text_message("UTF-8", "Grüße \udcd1 Привет\n".encode("utf-8", "surrogateescape"),
                            "8bit"),
              _text_check("Text part not valid UTF-8, 1 sequence(s) replaced", 1)),
    _text_row("stray-byte-latin1-host",
              _text_message("utf-8", b"caf\xc3\xa9 \xe2\x82 ok\n", "quoted-printable"
                            ).replace(b"\xe2\x82", b"=E2=82").replace(b"\xc3\xa9", b"=C3=A9"),
              _text_check("Text part not valid UTF-8, 1 sequence(s) replaced", 1, "LATIN1"),
              charset="LATIN1"),
    _text_row("utf16-with-mark", _text_message("utf-16", _TEXT.encode("utf-16")), _text_check()),
    # Windows programs send little-endian UTF-16 without a mark under the
    # open name; Python reads it so too.
    _text_row("utf16-without-mark-le", _text_message("utf-16", _TEXT.encode("utf-16-le")),
              _text_check()),
    _text_row("utf16be-latin1-host", _text_message("UTF-16BE", _TEXT.encode("utf-16-be")),
              _text_check(None, 1, "LATIN1"), charset="LATIN1"),
    _text_row("utf32", _text_message("utf-32", _TEXT.encode("utf-32")), _text_check()),
    _text_row("nul-in-text", _text_message("iso-8859-1", "vor\x00nach Köln\n".encode("latin-1")),
              _text_check("Text part holds NUL bytes, 1 replaced", 1)),
    _text_row("nul-in-html",
              _text_message("utf-8", b"<p>vor\x00nach</p>", ctype="text/html"),
              _text_check("HTML part holds NUL bytes, 1 replaced", 1)),
    # The classic rules keep their documented cut at the NUL.
    ("nul-in-text-classic",
     _text_message("us-ascii", b"vor\x00nach\n"), "UTF8", "classic",
     lambda r: (r.body == b"vor" and r.status == 0) or pytest.fail(repr(r))),
    _text_row("x-uuencode-zip",
              _attached(b"application/zip; name=\"report.zip\"", b"x-uuencode",
                        _uuencoded(_ZIP, b"report.zip")),
              _file_check("report.zip")),
    _text_row("uuencode-named-by-begin-line",
              _attached(b"application/octet-stream", b"uuencode",
                        _uuencoded(_ZIP[:1000], b"data.bin")),
              lambda r, raw: (r.files == [b"data.bin"] and r.status == 0 and
                              (r.directory / "data.bin").read_bytes() == _ZIP[:1000])
              or pytest.fail(repr((r.files, r.status, r.lines)))),
    _text_row("unknown-encoding-saved",
              _attached(b"application/octet-stream; name=\"x.gz\"", b"x-gzip64",
                        b"H4sIAAAAAAAAA0tMTgEAQcm7BQMAAAA=\n"),
              _file_check("x.gz", "POP3_PARSE_MIME: Unknown transfer encoding x-gzip64, part saved "
                          "undecoded: ", 1)),
]
HTML_CASES = []

CASES = HEADER_FIELD_CASES + TEXT_CASES + HTML_CASES


@pytest.mark.parametrize("raw,charset,mime,check",
                         [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_world_mail_is_read_as_sent(mailbox, tmp_path, raw, charset, mime, check):
    check(receive(mailbox, tmp_path, raw, charset, mime))
