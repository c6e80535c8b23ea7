"""Mail shaped the way large providers and other mail programs send it,
delivered to a real Dovecot and read back through the C ABI: listing
records, header records, bodies, statuses, warnings and files. One table;
each row is a small message of our own with the shape that went wrong, and
a check of what a host sees. Python's email (policy=default) is the judge
where a parser's reading is the question."""
import collections
import email
import email.policy
import html
import html.parser
import os
import quopri
import re

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
def _judged_fields(raw):
    """What Python's email takes for the fields a record carries."""
    msg = python_message(raw)
    return {key: (str(msg[name]).encode() if msg[name] is not None else b"")
            for key, name in (("FROM", "From"), ("TO", "To"), ("CC", "Cc"),
                              ("SUBJECT", "Subject"), ("DATE", "Date"),
                              ("ID", "Message-ID"), ("REPLY", "Reply-To"))}


def _fields_as_judged(raw):
    """The listing record and the header record hold the judge's fields."""
    judged = _judged_fields(raw)

    def check(r):
        assert r.status == 0, (r.status, r.lines)
        for key in ("FROM", "SUBJECT", "DATE", "ID"):
            assert r.listing[key] == judged[key], (key, r.listing)
        for key, value in judged.items():
            assert r.header[key] == value, (key, r.header)
    return check


_SIGNED = crlf(
    "DKIM-Signature: v=1; a=rsa-sha256; d=example.com; s=s1;\n"
    "        h=to:subject:message-id:date:from:cc:reply-to;\n"
    "        bh=x; b=y\n"
    "From: Real <real@example.com>\n"
    "Subject: Lunch?\n"
    "\n"
    "hi\n")

_QUOTING = crlf(
    "From: Ann <ann@example.org>\n"
    "Subject: Re: Date: moved, To: everyone\n"
    "X-Note: see cc: list\n"
    "To: team@example.org\n"
    "Date: Tue, 08 Dec 2026 09:00:00 +0000\n"
    "\n"
    "Cc: not a field\n")

_BOUNCE = crlf(
    "X-Envelope-From: <>\n"
    "Delivered-To: box@example.org\n"
    "From: Mail Delivery System <mailer-daemon@example.org>\n"
    "To: ann@example.org\n"
    "Subject: Undelivered Mail Returned to Sender\n"
    "Message-ID: <b1@example.org>\n"
    "\n"
    "sorry\n")


def _bounce_by_rule(mime):
    def check(r):
        # Classic rules keep reading the tail of a name: the envelope
        # sender and Delivered-To come first.
        classic = mime == "classic"
        assert r.listing["FROM"] == (b"<>" if classic else
                                     b"Mail Delivery System <mailer-daemon@example.org>")
        assert r.header["TO"] == (b"box@example.org" if classic else b"ann@example.org")
        assert r.header["SUBJECT"] == b"Undelivered Mail Returned to Sender"
    return check


def _long_header_message(field_length):
    return crlf(
        "From: Ann <ann@example.org>\n"
        "Subject: Report\n"
        "X-Long: " + "l" * field_length + "\n"
        "Cc: after@example.org\n"
        "MIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=b1\n"
        "\n"
        "--b1\nContent-Type: text/plain\n\nHi Bob\n"
        "--b1\nContent-Type: application/octet-stream\n"
        "Content-Disposition: attachment; filename=a.bin\n"
        "Content-Transfer-Encoding: base64\n\nYWJj\n--b1--\n")


def _long_header_read_from_its_start(r):
    assert r.status == 1, (r.status, r.lines)
    assert any("GETMAIL: Header of message 1 longer than 32767 bytes" in line
               for line in r.lines), r.lines
    assert r.header["FROM"] == b"Ann <ann@example.org>"
    assert r.header["SUBJECT"] == b"Report"
    assert r.header["CC"] == b""  # past the cut, as in the listing
    assert r.listing["SUBJECT"] == b"Report"
    assert r.body == b"Hi Bob"
    assert (r.directory / "a.bin").read_bytes() == b"abc"


HEADER_FIELD_CASES = [
    ("signed-fields-classic", _SIGNED, "UTF8", "classic", _fields_as_judged(_SIGNED)),
    ("signed-fields-modern", _SIGNED, "UTF8", "modern", _fields_as_judged(_SIGNED)),
    ("labels-in-values-classic", _QUOTING, "UTF8", "classic", _fields_as_judged(_QUOTING)),
    ("labels-in-values-modern", _QUOTING, "UTF8", "modern", _fields_as_judged(_QUOTING)),
    ("bounce-classic", _BOUNCE, "UTF8", "classic", _bounce_by_rule("classic")),
    ("bounce-modern", _BOUNCE, "UTF8", "modern", _bounce_by_rule("modern")),
    ("header-over-buffer-modern", _long_header_message(40000), "UTF8", "modern",
     _long_header_read_from_its_start),
]

def html_message(html, charset="utf-8", transfer="8bit"):
    head = ("From: news@example.org\nTo: alice@example.org\nSubject: news\nMIME-Version: 1.0\n"
            "Content-Type: text/html; charset=%s\nContent-Transfer-Encoding: %s\n\n"
            % (charset, transfer))
    return crlf(head) + (crlf(html) if isinstance(html, str) else html)


class FirstHref(html.parser.HTMLParser):
    """The first href as Python's HTML parser reads the attribute."""
    href = None

    def handle_starttag(self, tag, attrs):
        if tag == "a" and self.href is None:
            self.href = dict(attrs).get("href")


def browser_url(source):
    """The URL a browser follows: the attribute as parsed, tabs and line
    breaks taken out, blanks around it trimmed."""
    parser = FirstHref()
    parser.feed(source)
    return re.sub(r"[\t\r\n]", "", parser.href).strip()


def check_shown(text, status=0, charset="utf-8"):
    def check(r):
        assert (r.status, r.body) == (status, text.encode(charset)), r.lines
        assert r.files == [b"message.html"]
    return check


HTML5_REFERENCES = ("&percnt; &NotEqualTilde; &CounterClockwiseContourIntegral; &fjlig; "
                    "&notit; &ampx &eacute9 &#150; &#x80; &Amp;")
OUTLOOK_LINKS = ('<p>Read <a href=3D"https://example.org/t?e=3D7&amp;u=3D9&amp;lang=3Dde">the =\n'
                 'story</a>.</p>\n<p><a href=3D"https://example.org/unsub?id=3D12\n'
                 '\t34">Unsubscribe</a></p>\n')
OUTLOOK_DECODED = quopri.decodestring(OUTLOOK_LINKS.encode()).decode()


def html_of_size(size):
    # Lines as they arrive, with CR LF, the last one's included; most of
    # them a comment, so that the rendering fits the host's body.
    head, tail = "<p>first</p>\r\n<!--\r\n", "-->\r\n<p>last</p>\r\n"
    line = "x" * 78 + "\r\n"
    count = (size - len(head) - len(tail)) // len(line)
    pad = size - len(head) - len(tail) - count * len(line)
    return (head + line * count + "y" * pad + tail).encode()


def check_limit(size):
    def check(r):
        whole = size <= 16 * 1024 * 1024
        warned = [l for l in r.lines if "HTML part longer than 16777216 bytes" in l]
        assert (r.status, len(warned)) == ((0, 0) if whole else (1, 1)), r.lines[-5:]
        assert r.body == (b"first\r\n\r\nlast\r\n" if whole else b"")
        assert r.files == [b"message.html"]
        assert os.path.getsize(r.directory / "message.html") == size
    return check


HTML_CASES = [
    # Python's html.unescape reads references as the HTML5 list and rules
    # have them.
    ("html5-references", html_message("<p>%s</p>" % HTML5_REFERENCES), "UTF8", "modern",
     check_shown(html.unescape(HTML5_REFERENCES) + "\r\n")),
    ("html5-references-latin1", html_message("<p>caf&eacute; 100&percnt; &Amacr;</p>"),
     "LATIN1", "modern", check_shown("caf\xe9 100% ?\r\n", status=1, charset="latin-1")),
    # Quoted-printable HTML with links whose attributes run over lines.
    ("href-references-and-breaks", html_message(OUTLOOK_LINKS, transfer="quoted-printable"),
     "UTF8", "modern",
     check_shown("Read the story <%s>.\r\n\r\nUnsubscribe <%s>\r\n"
                 % (browser_url(OUTLOOK_DECODED),
                    browser_url(OUTLOOK_DECODED[OUTLOOK_DECODED.index("</p>"):])))),
    ("href-repeated-text", html_message(
        '<a href="https://example.org/?a=1&amp;b=2">https://example.org/?a=1&amp;b=2</a>'),
     "UTF8", "modern", check_shown("https://example.org/?a=1&b=2\r\n")),
    ("html-at-render-limit", html_message(html_of_size(16 * 1024 * 1024)), "UTF8", "modern",
     check_limit(16 * 1024 * 1024)),
    ("html-past-render-limit", html_message(html_of_size(16 * 1024 * 1024 + 1)), "UTF8",
     "modern", check_limit(16 * 1024 * 1024 + 1)),
]
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

CASES = HEADER_FIELD_CASES + TEXT_CASES + HTML_CASES


@pytest.mark.parametrize("raw,charset,mime,check",
                         [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_world_mail_is_read_as_sent(mailbox, tmp_path, raw, charset, mime, check):
    check(receive(mailbox, tmp_path, raw, charset, mime))
