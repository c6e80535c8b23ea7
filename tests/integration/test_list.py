"""Listing a real Dovecot mailbox of messages composed by Python's email
package: every listed field must equal what an independent reading of the
same message gives (the first header whose name ends in the key counts,
encoded words decoded, folding dropped, blanks trimmed)."""
import base64
import binascii
import email.charset
import email.header
import email.message
import email.policy
import email.utils
import poplib
import re
import time

import pytest

import brevorin_ffi
from conftest import PASSWORD, USER

CRLF_POLICY = email.policy.compat32.clone(linesep="\r\n")
DATE = time.mktime((2026, 12, 7, 10, 30, 0, 0, 0, 0))


def b_encoded(text, charset):
    cs = email.charset.Charset(charset)
    cs.header_encoding = email.charset.BASE64
    return email.header.Header(text, cs).encode()


def q_encoded(word, charset="iso-8859-1"):
    cs = email.charset.Charset(charset)
    cs.header_encoding = email.charset.QP
    return email.header.Header(word, cs).encode()


def compose(headers, body="Hello.\r\n"):
    msg = email.message.Message(policy=CRLF_POLICY)
    for name, value in headers:
        msg[name] = value
    msg.set_payload(body)
    return msg.as_bytes(policy=CRLF_POLICY)


def date(minutes):
    return email.utils.formatdate(DATE + 60 * minutes, localtime=False)


def corpus():
    """Messages with varied headers, in mailbox order."""
    many = ", ".join("Person %d <person%d@example.org>" % (i, i) for i in range(12))
    return [
        compose([("From", "Ann Example <ann@example.org>"),
                 ("To", "bob@example.org"),
                 ("Cc", "Carl <carl@example.org>"),
                 ("Subject", "Quarterly figures"),
                 ("Date", date(0)),
                 ("Message-ID", "<q1.2026@example.org>"),
                 ("X-Priority", "1 (Highest)")]),
        compose([("From", b_encoded("Jürgen Müller", "iso-8859-1") + " <jm@example.de>"),
                 ("To", "ann@example.org"),
                 ("Subject", "Re: " + q_encoded("Café") + " ok"),
                 ("Date", date(1)),
                 ("Message-ID", email.utils.make_msgid(domain="example.de")),
                 ("X-Priority", "5")]),
        compose([("From", "chef@example.fr"),
                 ("To", "ann@example.org"),
                 ("Subject", b_encoded("Crème brûlée für alle, "
                                       "mit einer sehr langen Betreffzeile, die gefaltet wird",
                                       "iso-8859-1")),
                 ("Date", date(2)),
                 ("Message-ID", "<long.subject@example.fr>")]),
        compose([("From", b_encoded("山田太郎", "iso-2022-jp") + " <yamada@example.jp>"),
                 ("To", "ann@example.org"),
                 ("Subject", email.header.Header(
                     "会議の議題について、来週の月曜日に確認をお願いします。"
                     "資料は添付しておりますのでご覧ください。", "iso-2022-jp").encode()),
                 ("Date", date(3)),
                 ("Message-ID", "<jp.1@example.jp>"),
                 ("X-Priority", "2")]),
        compose([("From", "list@example.org"),
                 ("To", many),
                 ("Cc", many),
                 ("Subject", "A folded plain subject that goes on and on well past the "
                             "seventy-eight columns of a header line"),
                 ("Date", date(4)),
                 ("Message-ID", "<folded@example.org>")]),
        # Names that end in a key come first: Reply-To for To, Bcc for Cc,
        # Resent-Date for Date.
        compose([("Reply-To", "replies@example.org"),
                 ("Resent-Date", date(50)),
                 ("From", "sender@example.org"),
                 ("To", "to@example.org"),
                 ("Bcc", "hidden@example.org"),
                 ("Cc", "seen@example.org"),
                 ("Subject", "Re: Re: meeting: agenda"),
                 ("Date", date(5)),
                 ("Message-ID", "<order@example.org>")]),
        compose([("From", "\"Team: Sales\" <sales@example.org>"),
                 ("To", "ann@example.org"),
                 ("Priority", "urgent"),
                 ("Date", date(6))]),
        compose([("From", "min@example.org"), ("Subject", "   padded   ")]),
    ]


def header_items(data):
    """(name, raw value) pairs in order, folding kept."""
    msg = email.message_from_bytes(data, policy=email.policy.compat32)
    return list(msg.items())


def first_value(items, key):
    for name, value in items:
        if name.lower().endswith(key):
            return value
    return None


def decode_words(value, host_charset):
    """Encoded words decoded as the library's decoder does it: B and Q
    (underscores left alone), the space between two words kept, and
    ISO-2022-JP turned into the host's Japanese form."""
    target = {"EUC": "euc-jp", "SJIS": "shift_jis"}.get(host_charset)

    def word(match):
        charset, encoding, text = match.group(1), match.group(2).upper(), match.group(3)
        raw = base64.b64decode(text) if encoding == b"B" else binascii.a2b_qp(text)
        if charset.upper() == b"ISO-2022-JP" and target:
            raw = raw.decode("iso-2022-jp").encode(target)
        return raw

    out = b""
    pos = 0
    for m in re.finditer(rb"=\?([^?]*)\?([bBqQ])\?([^?]*)\?=", value):
        out += value[pos:m.start()] + word(m)
        pos = m.end()
    return out + value[pos:]


def folded_field(items, key, host_charset):
    value = first_value(items, key)
    if value is None:
        return b""
    flat = re.sub(r"[\r\n\t]", "", value).strip()
    return decode_words(flat.encode("latin-1"), host_charset)


def single_line_field(items, key):
    value = first_value(items, key)
    if value is None:
        return b""
    return value.split("'")[0].strip().encode("latin-1")


def priority(items):
    value = first_value(items, "priority")
    if value is None:
        return b"3"
    m = re.match(r"\s*([+-]?\d+)", value)
    return str(int(m.group(1)) if m else 0).encode()


def expected_records(messages, sizes, host_charset):
    records = []
    for n, data in enumerate(messages, start=1):
        items = header_items(data)
        records.append({
            "NMB": str(n).encode(),
            "ID": single_line_field(items, "message-id"),
            "FROM": folded_field(items, "from", host_charset),
            "SUBJECT": folded_field(items, "subject", host_charset),
            "DATE": single_line_field(items, "date"),
            "PRIORITY": priority(items),
            "SIZE": str(sizes[n]).encode(),
        })
    return records


def server_sizes(server):
    """Message sizes as the server reports them, read with poplib."""
    pop = poplib.POP3("127.0.0.1", server.port)
    try:
        pop.user(USER)
        pop.pass_(PASSWORD)
        _, listing, _ = pop.list()
        return {int(n): int(s) for n, s in (line.split() for line in listing)}
    finally:
        pop.quit()


def fill(mailbox, messages):
    for i, data in enumerate(messages):
        # Dovecot numbers new mail by file name; keep the corpus order.
        mailbox.add_message(USER, data, name="%010d.m%03d.brevorin" % (1700000000 + i, i))


def native_list(host_charset, server, lib):
    host = brevorin_ffi.Host(charset=host_charset, lib=lib)
    session = host.session()
    try:
        assert session.logon(server.server, USER, PASSWORD) == 0
        return session.list(), host.lines
    finally:
        session.cleanup()
        host.close()


@pytest.mark.parametrize("host_charset", ["EUC", "SJIS"])
def test_listed_fields_match_an_independent_reading(mailbox, lib, host_charset):
    messages = corpus()
    fill(mailbox, messages)
    expected = expected_records(messages, server_sizes(mailbox), host_charset)
    (status, listing), _ = native_list(host_charset, mailbox, lib)
    assert status == len(messages)
    records = brevorin_ffi.list_records(listing)
    assert [r["NMB"] for r in records] == [e["NMB"] for e in expected]
    for got, want in zip(records, expected):
        assert got == want
    # Spot checks that the expectation itself reads as a person would.
    assert records[1]["SUBJECT"] == "Re: Café ok".encode("latin-1")
    assert records[1]["FROM"] == "Jürgen Müller <jm@example.de>".encode("latin-1")
    assert records[5]["SUBJECT"] == b"Re: Re: meeting: agenda"
    assert records[5]["DATE"] == date(50).encode()
    assert records[6]["FROM"] == b'"Team: Sales" <sales@example.org>'
    assert records[6]["PRIORITY"] == b"0"
    assert records[7]["SUBJECT"] == b"padded"
    assert records[7]["ID"] == b""
    assert "会議".encode({"EUC": "euc-jp", "SJIS": "shift_jis"}[host_charset]) \
        in records[3]["SUBJECT"]


def test_deleted_messages_are_skipped_and_known_headers_not_fetched_again(mailbox, lib):
    messages = corpus()[:3]
    fill(mailbox, messages)
    host = brevorin_ffi.Host(charset="EUC", lib=lib)
    session = host.session()
    try:
        assert session.logon(mailbox.server, USER, PASSWORD) == 0
        status, first = session.list()
        assert status == 3
        assert session.delete(1) == 0
        host.lines.clear()
        status, second = session.list()
        assert status == 2
        assert second == first[first.index(b"\x1bNMB=2") + 1:]
        assert not [line for line in host.lines if "POP3_LIST: Listing" in line]
        assert "BREVORIN: <F0> LISTMAIL: Skipping deleted message: 1" in host.lines
    finally:
        session.cleanup()
        host.close()


def test_large_mailbox_lists_what_the_host_can_take(mailbox, lib):
    messages = [compose([("From", "bulk%d@example.org" % i),
                         ("Subject", "Bulk message number %d" % i),
                         ("Date", date(i)),
                         ("Message-ID", "<bulk.%d@example.org>" % i)]) for i in range(300)]
    fill(mailbox, messages)
    (status, listing), lines = native_list("EUC", mailbox, lib)
    records = brevorin_ffi.list_records(listing)
    assert 0 < status < 300
    assert len(records) == status
    assert len(listing) + 1 <= 10240
    expected = expected_records(messages[:status + 1], server_sizes(mailbox), "EUC")
    assert records == expected[:status]
    # One more record would not have fitted.
    extra = b"\x1b" + b"\x1b".join(k.encode() + b"=" + v for k, v in expected[status].items())
    assert len(listing) + len(extra) + 1 > 10240
    assert not [line for line in lines if "LISTMAIL: Returning list" in line]


def test_windows_build_lists_the_same(mailbox, lib, wine_build, tmp_path):
    messages = corpus()
    fill(mailbox, messages)
    (status, listing), _ = native_list("EUC", mailbox, lib)
    password = wine_build.write_file(str(tmp_path), "password", PASSWORD)
    results, _ = wine_build.run("logon", mailbox.server, USER, password, "+", "list",
                                charset="EUC")
    by_name = {r.name: r for r in results}
    assert by_name["logon"].status == 0
    assert by_name["list"].status == status
    assert by_name["list"].texts == [listing]
