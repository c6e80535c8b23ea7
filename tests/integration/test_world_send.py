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
ATTACHMENT_CASES = []

CASES = ADDRESS_CASES + ENCODED_WORD_CASES + ATTACHMENT_CASES


@pytest.mark.parametrize("items,text,charset,options,attachments,check",
                         [pytest.param(*c[1:], id=c[0]) for c in CASES])
def test_sent_mail_reads_as_written(smtp, tmp_path, items, text, charset, options, attachments,
                                    check):
    check(send(smtp, tmp_path, items, text, charset, options, attachments))
