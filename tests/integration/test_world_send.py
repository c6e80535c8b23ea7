"""What the library sends, judged by strict readers: the SMTP sink keeps
the bytes, Python's email (policy=default) parses them, and every row of
one table says what a recipient's reader must see: folded lines within
their limits, display names and file names as written, encoded words a
strict decoder takes, no defects."""
import collections
import email
import email.policy
import os

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
                        "\x1b".join(paths).encode("utf-8", "surrogateescape") if paths else b"")
    finally:
        s.cleanup()
        host.close()
    data = smtp.messages[-1]["data"] if smtp.messages else b""
    message = strict(data)[0] if data else None
    return Sent(status, data, message, list(host.lines), smtp)


# Each area of the library adds its rows here: (id, header items [(KEY,
# value)], text, host charset, options, attachments [(name, bytes)],
# check(sent)).
def _lines_within(sent, limit):
    too_long = [l for l in header_lines(sent.data) if len(l) > limit]
    assert not too_long, too_long


def _addresses(n, domain="example.org"):
    return ["user%02d@%s" % (i, domain) for i in range(n)]


def _check_list(to, cc=(), reply=(), limit=78, names=None):
    """The send succeeds, every header line keeps within limit, and each list
    reads back as the addresses (and display names) written."""
    def check(sent):
        assert sent.status == 0, sent.lines
        message, defects = strict(sent.data)
        assert defects == []
        _lines_within(sent, limit)
        for field, written in (("To", to), ("Cc", cc), ("Reply-To", reply)):
            if not written:
                continue
            got = message[field].addresses
            assert [a.addr_spec for a in got] == written
            if names and field in names:
                assert [a.display_name for a in got] == names[field]
        assert sorted(sent.smtp.messages[-1]["rcpt_tos"]) == sorted(list(to) + list(cc))
    return check


def _named(names, addresses):
    return ", ".join('%s <%s>' % (n, a) for n, a in zip(names, addresses))


_SMITHS = ["Smith, John %d" % i for i in range(12)]
_UMLAUTS = ["J\u00fcrgen M\u00fcller-L\u00fcdenscheid %d" % i for i in range(12)]
# "To: " and 48 addresses with their ", " take 964 characters: the last
# address makes the line 998 long (the most a server takes) or 999.
_CLASSIC_998 = _addresses(48) + ["a" * 22 + "@example.org"]
_CLASSIC_999 = _addresses(48) + ["a" * 23 + "@example.org"]

ADDRESS_CASES = [
    ("sixty-to-thirty-cc-modern",
     [("TO", ", ".join(_addresses(60))), ("FROM", "me@example.org"),
      ("CC", ",".join(_addresses(30, "example.net"))), ("REPLY", ", ".join(_addresses(10)))],
     "hello", "UTF8", None, [], _check_list(_addresses(60), _addresses(30, "example.net"),
                                            _addresses(10))),
    ("quoted-commas-fold-between-mailboxes",
     [("TO", ", ".join('"%s" <%s>' % (n, a) for n, a in zip(_SMITHS, _addresses(12)))),
      ("FROM", "me@example.org")],
     "hello", "UTF8", None, [], _check_list(_addresses(12), names={"To": _SMITHS})),
    ("encoded-names-fold-between-mailboxes",
     [("TO", "x@example.org"), ("FROM", "me@example.org"),
      ("CC", _named(_UMLAUTS, _addresses(12)).encode("utf-8"))],
     "hello", "UTF8", None, [],
     _check_list(["x@example.org"], _addresses(12), names={"Cc": _UMLAUTS})),
    ("latin1-names-fold-between-mailboxes",
     [("TO", _named(_UMLAUTS, _addresses(12))), ("FROM", "me@example.org")],
     "hello", "LATIN1", None, [], _check_list(_addresses(12), names={"To": _UMLAUTS})),
    # The classic rules keep a list that a server takes as it always was,
    # and fold only one that no server would take.
    ("classic-998-characters-kept",
     [("TO", ", ".join(_CLASSIC_998)), ("FROM", "me@example.org")],
     "hello", "LATIN1", {"mime": "classic"}, [],
     lambda sent: (_check_list(_CLASSIC_998, limit=998)(sent),
                   sent.data.index(b"\r\nTo: " + ", ".join(_CLASSIC_998).encode() + b"\r\n"))),
    ("classic-999-characters-folded",
     [("TO", ", ".join(_CLASSIC_999)), ("FROM", "me@example.org")],
     "hello", "LATIN1", {"mime": "classic"}, [],
     lambda sent: (_check_list(_CLASSIC_999, limit=998)(sent),
                   sent.data.index(b"user47@example.org,\r\n " + _CLASSIC_999[-1].encode()))),
]
ENCODED_WORD_CASES = []
def _host_name(text, codec):
    """A file name as a host with that charset names it on disk."""
    return os.fsdecode(text.encode(codec))


def _check_names(names, inline=()):
    """Every attachment reads back under the name written (as Python's email
    and its RFC 2231 and 2047 decoding take it), without defects, and every
    line of the message keeps within 78 characters; the parts named in
    inline go inline, each with a Content-ID of its own."""
    def check(sent):
        assert sent.status == 0, sent.lines
        message, defects = strict(sent.data)
        assert defects == []
        too_long = [l for l in sent.data.split(b"\r\n") if len(l) > 78]
        assert not too_long, too_long
        parts = [p for p in message.walk() if p.get_filename() is not None]
        assert [p.get_filename() for p in parts] == names
        shown = [p.get_filename() for p in parts if p.get_content_disposition() == "inline"]
        assert shown == list(inline)
        ids = [p["Content-ID"] for p in parts if p["Content-ID"] is not None]
        assert len(ids) == len(set(ids)) == len(inline)
    return check


_HTML = {"text_format": "html"}
_PNG = b"\x89PNG\r\n\x1a\n" + b"\x00" * 16
_HEADERS = [("TO", "a@example.org"), ("FROM", "me@example.org")]
_UEBERSICHT = "\u00dcbersicht M\u00e4rz.txt"
_BERICHT = "Bericht \u00fcber den Jahresabschlu\u00df und die Gr\u00fc\u00dfe.pdf"
_NIHONGO = "\u65e5\u672c\u8a9e\u306e\u8cc7\u6599.txt"
_NAGAI = "\u5e74\u6b21\u5831\u544a\u66f8\u306e\u6700\u7d42\u7248" * 3 + ".xlsx"
_PRAESENTATION = ("Pr\u00e4sentation f\u00fcr das Jahrestreffen der \u00dcbersetzer "
                  "und Dolmetscher.pptx")

ATTACHMENT_CASES = [
    ("latin1-umlaut-name", _HEADERS, "hello", "LATIN1", None,
     [(_host_name(_UEBERSICHT, "latin-1"), b"x")], _check_names([_UEBERSICHT])),
    ("latin1-long-name", _HEADERS, "hello", "LATIN1", None,
     [(_host_name(_BERICHT, "latin-1"), b"x")], _check_names([_BERICHT])),
    ("euc-japanese-name", _HEADERS, "hello", "EUC", None,
     [(_host_name(_NIHONGO, "euc-jp"), b"x")], _check_names([_NIHONGO])),
    ("sjis-long-japanese-name", _HEADERS, "hello", "SJIS", None,
     [(_host_name(_NAGAI, "shift_jis"), b"x")], _check_names([_NAGAI])),
    ("utf8-long-name-continued", _HEADERS, "hello", "UTF8", None,
     [(_PRAESENTATION, b"x")], _check_names([_PRAESENTATION])),
    ("latin2-name", _HEADERS, "hello", "LATIN2", None,
     [(_host_name("\u0141\u00f3d\u017a.pdf", "iso-8859-2"), b"x")],
     _check_names(["\u0141\u00f3d\u017a.pdf"])),
    ("utf8-name-on-ascii-host", _HEADERS, "hello", "US-ASCII", None,
     [("caf\u00e9.txt", b"x")], _check_names(["caf\u00e9.txt"])),
    ("utf8-many-continuations", _HEADERS, "hello", "UTF8", None,
     [("\u00dc" * 80 + ".pdf", b"x")], _check_names(["\u00dc" * 80 + ".pdf"])),
    ("ascii-name-long-type", _HEADERS, "hello", "LATIN1", None,
     [("plan.pptx", b"x")], _check_names(["plan.pptx"])),
    ("ascii-long-name-continued", _HEADERS, "hello", "LATIN1", None,
     [("quarterly-report-" * 8 + ".txt", b"x")], _check_names(["quarterly-report-" * 8 + ".txt"])),
    ("html-inline-latin1-name", _HEADERS, '<img src="cid:%s">' % "K\u00e4se.png", "LATIN1",
     _HTML, [(_host_name("K\u00e4se.png", "latin-1"), _PNG)],
     _check_names(["K\u00e4se.png"], inline=["K\u00e4se.png"])),
    # cid:ab.png names the whole name ab.png, not "a".
    ("html-cid-names-whole-names", _HEADERS, '<p><img src="cid:ab.png"></p>', "UTF8", _HTML,
     [("a", b"x"), ("ab.png", _PNG)], _check_names(["ab.png", "a"], inline=["ab.png"])),
    # Two logo.png from two folders: one Content-ID, one inline part.
    ("html-same-name-twice", _HEADERS, '<img src="cid:logo.png">', "UTF8", _HTML,
     [("logo.png", _PNG), ("logo.png", _PNG + b"2")],
     _check_names(["logo.png", "logo.png"], inline=["logo.png"])),
    # The classic rules send the name's bytes as they always did.
    ("classic-latin1-name-kept", _HEADERS, "hello", "LATIN1", {"mime": "classic"},
     [(_host_name(_UEBERSICHT, "latin-1"), b"x")],
     lambda sent: sent.data.index(b'filename="\xdcbersicht M\xe4rz.txt"\r\n')),
]

CASES = ADDRESS_CASES + ENCODED_WORD_CASES + ATTACHMENT_CASES


@pytest.mark.parametrize("items,text,charset,options,attachments,check",
                         [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_sent_mail_reads_as_written(smtp, tmp_path, items, text, charset, options, attachments,
                                    check):
    check(send(smtp, tmp_path, items, text, charset, options, attachments))
