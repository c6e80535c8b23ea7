"""What the library sends, judged by strict readers: the SMTP sink keeps
the bytes, Python's email (policy=default) parses them, and every row of
one table says what a recipient's reader must see: folded lines within
their limits, display names and file names as written, encoded words a
strict decoder takes, no defects."""
import collections
import email
import email.policy

import pytest

import brevorin_ffi

Sent = collections.namedtuple("Sent", "status data message lines smtp")


def strict(data):
    """The message as Python's email reads it, with its defects."""
    message = email.message_from_bytes(data, policy=email.policy.default)
    defects = list(message.defects) + [d for p in message.walk() for d in p.defects]
    return message, defects


def header_lines(data):
    """The header block's physical lines, without their CR LF."""
    head = data.split(b"\r\n\r\n", 1)[0]
    return head.split(b"\r\n")


def send(smtp, tmp_path, header_items, text, charset="UTF8", options=None, attachments=()):
    """Sends one message through the sink; attachments are (name, bytes)."""
    paths = []
    for name, content in attachments:
        folder = tmp_path / ("a%d" % len(paths))
        folder.mkdir()
        path = folder / name
        path.write_bytes(content)
        paths.append(str(path))
    host = brevorin_ffi.Host(charset=charset)
    s = host.session()
    try:
        assert s.setoptions(dict({"mime": "modern"}, **(options or {}))) == 0
        header = b"\x1b".join(brevorin_ffi._b(k + "=") + brevorin_ffi._b(v)
                              for k, v in header_items)
        status = s.send(smtp.server, header, brevorin_ffi._b(text),
                        "\x1b".join(paths).encode("utf-8") if paths else b"")
    finally:
        s.cleanup()
        host.close()
    data = smtp.messages[-1]["data"] if smtp.messages else b""
    message = strict(data)[0] if data else None
    return Sent(status, data, message, list(host.lines), smtp)


# Each area of the library adds its rows here: (id, header items [(KEY,
# value)], text, host charset, options, attachments [(name, bytes)],
# check(sent)).
ADDRESS_CASES = []


def _within_limits(sent):
    """Sent, read without defects, every header line within 78 characters."""
    assert sent.status == 0, sent.lines
    assert strict(sent.data)[1] == []
    for line in header_lines(sent.data):
        assert len(line) <= 78, line
    # Every encoded word as RFC 2047 has it: no blank inside, at most 75
    # characters (lenient readers take more; strict ones leave it raw).
    import re
    head = sent.data.split(b"\r\n\r\n", 1)[0]
    loose = re.findall(rb"=\?[^?\r\n]+\?[QqBb]\?[^?\r\n]*\?=", head)
    assert loose == re.findall(rb"=\?[^?\s]+\?[QqBb]\?[^?\s]*\?=", head)
    assert all(len(word) <= 75 for word in loose), loose


def _jis_words_stand_alone(sent):
    """Each ISO-2022-JP word decodes on its own and returns to ASCII."""
    import base64
    import re
    words = re.findall(rb"=\?ISO-2022-JP\?B\?([A-Za-z0-9+/=]+)\?=", sent.data)
    assert words
    for word in words:
        raw = base64.b64decode(word)
        assert b"\x1b(J" not in raw
        assert raw[raw.rfind(b"\x1b"):].startswith(b"\x1b(B") or b"\x1b" not in raw, raw
        raw.decode("iso2022_jp")


def subject_reads(expected, jis=False):
    def check(sent):
        _within_limits(sent)
        assert str(sent.message["Subject"]) == expected
        if jis:
            _jis_words_stand_alone(sent)
    return check


def name_reads(field, expected, address):
    def check(sent):
        _within_limits(sent)
        mailbox = sent.message[field].addresses[0]
        assert (mailbox.display_name, mailbox.addr_spec) == (expected, address)
    return check


def body_and_subject_read(subject, body):
    def check(sent):
        subject_reads(subject, jis=True)(sent)
        assert sent.message.get_content().replace("\r\n", "\n").rstrip("\n") == body
    return check


def file_name_reads(expected):
    def check(sent):
        _within_limits(sent)
        names = [p.get_filename() for p in sent.message.walk() if p.get_filename()]
        assert names == [expected]
    return check


_TO = ("TO", "rcpt@example.org")
_FROM = ("FROM", "sender@example.org")
_JAPANESE = "\u65e5\u672c\u8a9e\u306e\u4ef6\u540d\u3068\u30ab\u30bf\u30ab\u30ca "
_LONG_JAPANESE = (_JAPANESE + "report 2024 ") * 20
_LATIN = "Gr\u00fc\u00dfe aus M\u00fcnchen und K\u00f6ln, "
_PATH = "\u65e5\u672c C:\\share\\docs ~user \u8a9e"


def _subject_row(name, subject, charset, jis=False):
    encoding = {"UTF8": "utf-8", "LATIN1": "latin-1", "EUC": "euc_jp", "SJIS": "shift_jis",
                "LATIN5": "iso-8859-5"}[charset]
    return (name, [_TO, _FROM, ("SUBJECT", subject.encode(encoding))], "text\r\n", charset,
            None, (), subject_reads(subject, jis))


def _name_row(name, written, shown, charset="UTF8", field="FROM"):
    encoding = {"UTF8": "utf-8", "LATIN1": "latin-1", "EUC": "euc_jp"}[charset]
    items = [item for item in (_TO, _FROM) if item[0] != field]
    address = "jm@example.de"
    items.append((field, (written + " <" + address + ">").encode(encoding)))
    return ("name-" + name, items, "text\r\n", charset, None, (),
            name_reads({"FROM": "From", "TO": "To", "CC": "cc", "REPLY": "Reply-To"}[field], shown,
                       address))


ENCODED_WORD_CASES = [
    _subject_row("subject-utf8-long", ("Gr\u00fc\u00dfe \u20ac " + "\u6771\U0001F600 ") * 40,
                 "UTF8"),
    # One word of 45 bytes would make an 81-character first line.
    _subject_row("subject-utf8-just-over-a-line", "\u00fc" * 22 + "x", "UTF8"),
    _subject_row("subject-latin1-short-with-blanks", "Gr\u00fc\u00dfe aus K\u00f6ln", "LATIN1"),
    _subject_row("subject-latin1-long", _LATIN * 15 + "_?=_", "LATIN1"),
    _subject_row("subject-cyrillic-long", "\u041f\u0440\u0438\u0432\u0435\u0442 " * 40,
                 "LATIN5"),
    _subject_row("subject-euc-long", _LONG_JAPANESE, "EUC", jis=True),
    _subject_row("subject-sjis-long", _LONG_JAPANESE, "SJIS", jis=True),
    _subject_row("subject-sjis-backslash-tilde", _PATH, "SJIS", jis=True),
    _subject_row("subject-ascii-long", "Quarterly figures for the northern region " * 6, "UTF8"),
    ("body-euc-backslash-tilde", [_TO, _FROM, ("SUBJECT", _PATH.encode("euc_jp"))],
     (_PATH + "\r\n" + _JAPANESE + "~/bin\\x").encode("euc_jp"), "EUC", None, (),
     body_and_subject_read(_PATH, _PATH + "\n" + _JAPANESE + "~/bin\\x")),
    _name_row("quoted-comma", '"M\u00fcller, J\u00fcrgen"', "M\u00fcller, J\u00fcrgen"),
    _name_row("quoted-escapes", '"Doe, Jane \\"JD\\" M\u00fcller"', 'Doe, Jane "JD" M\u00fcller',
              field="TO"),
    _name_row("quoted-latin1", '"M\u00fcller, J\u00fcrgen"', "M\u00fcller, J\u00fcrgen",
              charset="LATIN1", field="CC"),
    _name_row("unquoted-latin1", "J\u00fcrgen M\u00fcller", "J\u00fcrgen M\u00fcller", charset="LATIN1"),
    # Long names: their ASCII atoms stand between the encoded runs.
    _name_row("quoted-euc-long", '"' + (_JAPANESE + "Tokyo ") * 3 + _JAPANESE + '"',
              ((_JAPANESE + "Tokyo ") * 3 + _JAPANESE).strip(), charset="EUC", field="REPLY"),
    _name_row("utf8-long", "J\u00fcrgen M\u00fcller-L\u00fcdenscheidt und S\u00f6hne " * 3 + "GmbH",
              "J\u00fcrgen M\u00fcller-L\u00fcdenscheidt und S\u00f6hne " * 3 + "GmbH"),
    ("file-name-utf8-long", [_TO, _FROM, ("SUBJECT", "files")], "text\r\n", "UTF8", None,
     [("Pr\u00e4sentation \u00fcber das Gesch\u00e4ftsjahr " * 3 + ".pdf", b"%PDF")],
     file_name_reads("Pr\u00e4sentation \u00fcber das Gesch\u00e4ftsjahr " * 3 + ".pdf")),
]
ATTACHMENT_CASES = []

CASES = ADDRESS_CASES + ENCODED_WORD_CASES + ATTACHMENT_CASES


@pytest.mark.parametrize("items,text,charset,options,attachments,check",
                         [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_sent_mail_reads_as_written(smtp, tmp_path, items, text, charset, options, attachments,
                                    check):
    check(send(smtp, tmp_path, items, text, charset, options, attachments))
