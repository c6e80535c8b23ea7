"""Sending through a real SMTP server (aiosmtpd): what arrives is parsed with
Python's email package and compared with what was sent; a round trip through
Dovecot; the command-line tool; the Windows DLL under Wine."""
import email
import email.policy
import os
import random
import subprocess
import tempfile
from email.header import decode_header, make_header

import pytest

import brevorin_ffi
from brevorin_ffi import header_list
from conftest import USER, PASSWORD
from servers import SmtpSink
import wine


def payload_bytes(seed, size):
    rnd = random.Random(seed)
    data = bytearray(rnd.getrandbits(8) for _ in range(size))
    # Byte patterns that would hurt a careless writer: a line with a lone dot,
    # zero bytes, bare line feeds.
    data[10:15] = b"\n.\r\n\x00"
    return bytes(data)


@pytest.fixture
def workdir():
    with tempfile.TemporaryDirectory(prefix="brevorin-send-") as d:
        yield d


def write(directory, name, data):
    path = os.path.join(directory, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def parse(data):
    return email.message_from_bytes(data, policy=email.policy.compat32)


def header_text(msg, name):
    return str(make_header(decode_header(msg[name])))


def lf(data):
    return data.replace(b"\r\n", b"\n")


# Host character set, session charset code, Python codec of the text as the
# host holds it, codec of the text as it arrives, label, transfer encoding.
CHARSETS = [
    (None, 1, "ascii", "ascii", "us-ascii", "7bit"),
    ("LATIN1", 2, "latin-1", "latin-1", "iso-8859-1", "quoted-printable"),
    ("LATIN2", 3, "iso-8859-2", "iso-8859-2", "iso-8859-2", "quoted-printable"),
    ("CP1256", 5, "iso-8859-6", "iso-8859-6", "iso-8859-6", "base64"),
    ("EUC", 12, "euc-jp", "iso-2022-jp", "iso-2022-jp", "7bit"),
    ("SJIS", 13, "shift_jis", "iso-2022-jp", "iso-2022-jp", "7bit"),
]

TEXTS = {
    1: ("Plain subject", "Hello world\n.a line that starts with a dot\n.\nlast line"),
    2: ("Gr\u00fc\u00dfe aus K\u00f6ln", "Sch\u00f6ne Gr\u00fc\u00dfe\n.punkt\nA=B \u00e9t\u00e9"),
    3: ("\u017b\u00f3\u0142w", "Za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105 ja\u017a\u0144\nkoniec"),
    5: ("\u0645\u0631\u062d\u0628\u0627", "\u0645\u0631\u062d\u0628\u0627 \u0628\u0643\u0645\n"
        "\u0633\u0637\u0631 \u062b\u0627\u0646"),
    12: ("\u65e5\u672c\u8a9e", "\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8\nabc \u6f22\u5b57"),
    13: ("\u4ef6\u540d", "\u30b7\u30d5\u30c8JIS\u306e\u672c\u6587\n\u4e8c\u884c\u76ee"),
}


@pytest.mark.parametrize("charset,code,host_codec,wire_codec,label,encoding", CHARSETS,
                         ids=[str(c[1]) for c in CHARSETS])
def test_message_arrives_as_sent(lib, smtp, workdir, charset, code, host_codec, wire_codec, label,
                                 encoding):
    subject, text = TEXTS[code]
    files = {"report.pdf": payload_bytes(code, 70001), "empty.bin": b"",
             "one.txt": b"x"}
    paths = [write(workdir, n, d) for n, d in files.items()]
    with brevorin_ffi.Host(lib=lib, charset=charset) as host:
        s = host.session()
        headers = header_list(to="to1@example.org, to2@example.org", from_="me@example.org",
                              cc="cc1@example.org", bcc="hidden@example.org",
                              subject=subject.encode(host_codec), priority="4",
                              reply="answers@example.org")
        status = s.send(smtp.server, headers, text.encode(host_codec), "\x1b".join(paths))
        s.cleanup()
    assert status == 0, "\n".join(host.lines)
    assert len(smtp.messages) == 1
    got = smtp.messages[0]
    assert got["mail_from"] == "me@example.org"
    assert got["rcpt_tos"] == ["to1@example.org", "to2@example.org", "cc1@example.org",
                               "hidden@example.org"]
    assert b"hidden@example.org" not in got["data"]

    msg = parse(got["data"])
    assert msg["From"] == "me@example.org"
    assert msg["To"] == "to1@example.org, to2@example.org"
    assert msg["Cc"] == "cc1@example.org"
    assert msg["Reply-To"] == "answers@example.org"
    assert msg["X-Priority"] == "4 (High)"
    assert msg["X-Mailer"] == "Dravemont TESSERA 7.2.05, 1.1"
    assert header_text(msg, "Subject") == subject
    assert email.utils.parsedate_tz(msg["Date"]) is not None
    assert msg.get_content_type() == "multipart/mixed"
    assert not msg.defects

    parts = msg.get_payload()
    assert len(parts) == 1 + len(files)
    body = parts[0]
    assert body.get_content_type() == "text/plain"
    assert body.get_content_charset() == label
    assert body["Content-Transfer-Encoding"] == encoding
    # The text part ends with the line break that precedes the next part's
    # leading empty line (base64 decoding passes over it).
    ending = "" if encoding == "base64" else "\n"
    assert lf(body.get_payload(decode=True)).decode(wire_codec) == text + ending
    for part, (name, data) in zip(parts[1:], files.items()):
        assert part.get_filename() == name
        assert part.get_content_type() == "application/octet-stream"
        assert part.get_payload(decode=True) == data


def test_round_trip_through_dovecot(lib, dovecot, workdir):
    dovecot.clear(USER)
    files = {"data.bin": payload_bytes(99, 20000), "notes.txt": b"line 1\nline 2\n"}
    paths = [write(workdir, n, d) for n, d in files.items()]
    text = b"Round trip text\r\n.dotted\r\nend"
    out_dir = os.path.join(workdir, "out")
    os.mkdir(out_dir)
    sink = SmtpSink(deliver_to=(dovecot, USER)).start()
    try:
        with brevorin_ffi.Host(lib=lib) as host:
            s = host.session()
            status = s.send(sink.server, header_list(to=USER + "@example.org",
                                                     from_="me@example.org",
                                                     subject="round trip"),
                            text, "\x1b".join(paths))
            assert status == 0, "\n".join(host.lines)
            assert s.logon(dovecot.server, USER, PASSWORD) == 0
            status, header, body, file_list = s.get(1, out_dir)
            s.logoff()
            s.cleanup()
    finally:
        sink.stop()
    assert status == 0, "\n".join(host.lines)  # every attachment handled
    record = dict(brevorin_ffi.fields(header))
    assert record["SUBJECT"] == b"round trip"
    assert lf(body).rstrip(b"\n") == lf(text)
    names = [n for n in file_list.split(b"\x1b") if n]
    assert len(names) == len(files)
    for name, (expected_name, data) in zip(names, files.items()):
        path = name.decode("latin-1")
        if not os.path.isabs(path):
            path = os.path.join(out_dir, path)
        assert os.path.basename(path) == expected_name
        with open(path, "rb") as f:
            assert f.read() == data


def test_cli_send(smtp, workdir):
    cli = os.path.join(brevorin_ffi.build_dir(), "brevorin")
    attachment = write(workdir, "a.bin", payload_bytes(7, 3000))
    proc = subprocess.run([cli, "--charset", "LATIN1", "send", "--server", smtp.server,
                           "--from", "me@example.org", "--to", "you@example.org",
                           "--bcc", "copy@example.org", "--subject", "from the tool",
                           "--priority", "5", "--attach", attachment],
                          input="caf\u00e9\n".encode("latin-1"), capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode("latin-1")
    got = smtp.messages[0]
    assert got["rcpt_tos"] == ["you@example.org", "copy@example.org"]
    msg = parse(got["data"])
    assert msg["Subject"] == "from the tool"
    assert (msg["X-Priority"], msg["Importance"]) == ("1 (Highest)", "high")  # the tool is modern
    text, att = msg.get_payload()
    assert lf(text.get_payload(decode=True)) == b"caf\xe9\n\n"
    assert att.get_payload(decode=True) == payload_bytes(7, 3000)

    proc = subprocess.run([cli, "send", "--server", smtp.server, "--from", "me@example.org",
                           "--to", "you@example.org", "--subject", "a\x1bBCC=evil@example.org"],
                          input=b"x", capture_output=True, timeout=60)
    assert proc.returncode == 2
    assert len(smtp.messages) == 1


@pytest.mark.parametrize("charset,code,host_codec,wire_codec",
                         [("LATIN1", 2, "latin-1", "latin-1"),
                          ("SJIS", 13, "shift_jis", "iso-2022-jp")], ids=["2", "13"])
def test_windows_dll_sends_the_same_message(wine_build, smtp, workdir, charset, code, host_codec,
                                            wire_codec):
    subject, text = TEXTS[code]
    data = payload_bytes(5, 100000)
    att = write(workdir, "report.pdf", data)
    headers = header_list(to="to1@example.org", from_="me@example.org", bcc="hidden@example.org",
                          subject=subject.encode(host_codec), priority="3")
    header_file = wine_build.write_file(workdir, "headers", headers)
    text_file = wine_build.write_file(workdir, "text", text.encode(host_codec))
    att_file = wine_build.write_file(workdir, "attachments", wine.to_windows_path(att))
    results, stderr = wine_build.run("send", smtp.server, header_file, text_file, att_file, 0,
                                     charset=charset)
    send = [r for r in results if r.name == "send"]
    assert send and send[0].status == 0, stderr
    got = smtp.messages[0]
    assert got["rcpt_tos"] == ["to1@example.org", "hidden@example.org"]
    msg = parse(got["data"])
    assert header_text(msg, "Subject") == subject
    assert msg["X-Priority"] == "3 (Normal)"
    body, part = msg.get_payload()
    assert lf(body.get_payload(decode=True)).decode(wire_codec) == text + "\n"
    assert part.get_filename() == "report.pdf"
    assert part.get_payload(decode=True) == data


@pytest.mark.parametrize("runner", ["native", "wine"])
def test_display_names_reach_the_headers_not_the_envelope(request, lib, smtp, workdir, runner):
    """What nearly every business sender writes: names before the addresses,
    a quoted one holding a comma, one that is not ASCII (a UTF-8 host)."""
    headers = header_list(to='"Smith, John" <john@example.org>, Jürgen Müller <j@example.org>'.encode(),
                          from_="ACME Invoicing <invoices@example.org>",
                          cc="plain@example.org", subject="invoice")
    if runner == "native":
        with brevorin_ffi.Host(charset="UTF8", lib=lib) as host:
            s = host.session()
            status = s.send(smtp.server, headers, "see attached\n")
            s.cleanup()
    else:
        wine_build = request.getfixturevalue("wine_build")
        header_file = wine_build.write_file(workdir, "headers", headers)
        text_file = wine_build.write_file(workdir, "text", b"see attached\n")
        empty = wine_build.write_file(workdir, "attachments", b"")
        results, stderr = wine_build.run("send", smtp.server, header_file, text_file, empty, 0,
                                         charset="UTF8")
        status = [r for r in results if r.name == "send"][0].status
    assert status == 0
    got = smtp.messages[0]
    assert got["mail_from"] == "invoices@example.org"
    assert got["rcpt_tos"] == ["john@example.org", "j@example.org", "plain@example.org"]
    msg = email.message_from_bytes(got["data"], policy=email.policy.default)
    assert [(a.display_name, a.addr_spec) for a in msg["To"].addresses] == [
        ("Smith, John", "john@example.org"), ("Jürgen Müller", "j@example.org")]
    assert msg["From"].addresses[0].display_name == "ACME Invoicing"
    assert msg["Cc"] == "plain@example.org"


def test_priority_means_what_mail_clients_read_under_modern(lib, dovecot):
    """The host counts upwards (5 highest), X-Priority the other way round.
    Under mime=modern the wire says what clients show, and listing and
    retrieval give the host its own number back."""
    dovecot.clear(USER)
    sink = SmtpSink(deliver_to=(dovecot, USER)).start()
    try:
        with brevorin_ffi.Host(lib=lib) as host:
            s = host.session()
            assert s.setoption("mime", "modern") == 0
            for priority in range(1, 6):
                status = s.send(sink.server, header_list(to=USER + "@example.org", from_="me@example.org",
                                                         subject="p%d" % priority, priority=str(priority)),
                                "text\n")
                assert status == 0
            assert s.logon(dovecot.server, USER, PASSWORD) == 0
            count, listing = s.list()
            records = brevorin_ffi.list_records(listing)
            got = [s.get(n)[1] for n in range(1, 6)]
            s.logoff()
            s.cleanup()
    finally:
        sink.stop()
    wire = {}
    for m in sink.messages:
        msg = parse(m["data"])
        wire[msg["Subject"]] = (msg["X-Priority"], msg["Importance"])
    assert wire == {"p1": ("5 (Lowest)", "low"), "p2": ("4 (Low)", None), "p3": (None, None),
                    "p4": ("2 (High)", None), "p5": ("1 (Highest)", "high")}
    assert count == 5
    expected = {b"p%d" % p: b"%d" % p for p in range(1, 6)}
    assert {r["SUBJECT"]: r["PRIORITY"] for r in records} == expected
    fetched = [dict(brevorin_ffi.fields(h)) for h in got]
    assert {f["SUBJECT"]: f["PRIORITY"] for f in fetched} == expected
