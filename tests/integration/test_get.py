"""Message retrieval against a real Dovecot: messages composed with Python's
email package, the library's body and attachment files compared byte for
byte with what the email package itself decodes; the command-line tool; the
Windows DLL under Wine."""
import binascii
import email
import email.policy
import os
import subprocess
import tempfile
from email.message import EmailMessage
from email.mime.text import MIMEText

import pytest

import brevorin_ffi
import wine
from conftest import USER, PASSWORD

ESC = b"\x1b"


def wire(msg):
    """The message as it travels: CR LF line ends."""
    return msg.as_bytes(policy=msg.policy.clone(linesep="\r\n"))


def parsed(data):
    return email.message_from_bytes(data)


def headed(msg, subject="test"):
    msg["From"] = "Sender <sender@example.org>"
    msg["To"] = "%s@example.org" % USER
    msg["Subject"] = subject
    msg["Message-ID"] = "<%s@example.org>" % subject.replace(" ", "-")
    return msg


@pytest.fixture
def outdir():
    with tempfile.TemporaryDirectory(prefix="brevorin-get-") as d:
        yield d


@pytest.fixture
def session(host):
    s = host.session()
    yield s
    s.cleanup()


def logon(session, mailbox, messages):
    for m in messages:
        mailbox.add_message(USER, m)
    assert session.logon(mailbox.server, USER, PASSWORD) == 0


TEXT = "Grüße aus Köln, naïve café.\nSecond line with = sign.\n" + "x" * 90 + "\n"


@pytest.mark.parametrize("charset,cte", [
    ("us-ascii", "7bit"), ("iso-8859-1", "quoted-printable"), ("iso-8859-1", "base64"),
    ("utf-8", "base64"), ("utf-8", "quoted-printable"), ("utf-8", "8bit"),
    ("iso-8859-2", "quoted-printable"), ("windows-1252", "quoted-printable"),
])
def test_single_text_bodies(mailbox, session, outdir, charset, cte):
    text = TEXT if charset != "us-ascii" else "plain ascii text\n.leading dot\n"
    if charset == "iso-8859-2":
        text = "Zażółć gęślą jaźń\n"
    msg = MIMEText(text, "plain", charset)
    if cte != msg["Content-Transfer-Encoding"]:
        payload = text.encode(charset)
        del msg["Content-Transfer-Encoding"]
        if cte == "base64":
            msg.set_payload(binascii.b2a_base64(payload).decode())
        elif cte == "quoted-printable":
            msg.set_payload(binascii.b2a_qp(payload).decode())
        else:
            msg.set_payload(payload.decode("ascii", "surrogateescape"))
        msg["Content-Transfer-Encoding"] = cte
    data = wire(headed(msg, "text %s %s" % (charset, cte)))
    logon(session, mailbox, [data])
    status, header, body, files = session.get(1, outdir)
    assert status == 0, session.host.lines
    assert body == parsed(data).get_payload(decode=True)
    assert files == b""
    record = dict(brevorin_ffi.fields(header))
    assert record["SUBJECT"] == ("text %s %s" % (charset, cte)).encode()


def attachment_message(sizes):
    msg = headed(EmailMessage(), "attachments")
    msg.set_content("Files attached.\n")
    for i, size in enumerate(sizes):
        data = bytes((i * 7 + n * 13) % 256 for n in range(size)) if size < 4096 else \
            os.urandom(size)
        if i % 2:
            msg.add_attachment(data, maintype="image", subtype="png", filename="pic%d.png" % i)
        else:
            msg.add_attachment(data, maintype="application", subtype="octet-stream",
                               filename="file%d.bin" % i)
    return wire(msg)


def test_multipart_attachments_from_empty_to_megabytes(mailbox, session, outdir):
    sizes = [0, 1, 2, 3, 57, 58, 1000, 65536, 3 * 1024 * 1024 + 5]
    data = attachment_message(sizes)
    logon(session, mailbox, [data])
    status, header, body, files = session.get(1, outdir)
    assert status == 0, session.host.lines
    parts = [p for p in parsed(data).walk() if p.get_filename()]
    text = [p for p in parsed(data).walk() if p.get_content_type() == "text/plain"][0]
    # The line end before a delimiter stays with the text part.
    assert body == text.get_payload(decode=True) + b"\r\n"
    assert files.split(ESC) == [p.get_filename().encode() for p in parts]
    for p in parts:
        with open(os.path.join(outdir, p.get_filename()), "rb") as f:
            assert f.read() == p.get_payload(decode=True), p.get_filename()


def test_repeated_names_get_numbered_and_second_get_is_cached(mailbox, session, outdir):
    msg = headed(EmailMessage(), "names")
    msg.set_content("see files\n")
    for n in range(3):
        msg.add_attachment(b"copy %d" % n, maintype="application", subtype="octet-stream",
                           filename="../../same.txt")
    logon(session, mailbox, [wire(msg)])
    status, header, body, files = session.get(1, outdir + "/")
    assert status == 0
    assert files == b"same.txt\x1bsame-1.txt\x1bsame-2.txt"
    assert sorted(os.listdir(outdir)) == ["same-1.txt", "same-2.txt", "same.txt"]
    again = session.get(1, outdir)
    assert again == (0, header, body, files)
    assert sorted(os.listdir(outdir)) == ["same-1.txt", "same-2.txt", "same.txt"]


def test_uuencoded_files_in_a_plain_message(mailbox, session, outdir):
    payloads = {"one.bin": os.urandom(1000), "two.txt": b"short\n", "../three": b"\0" * 45}
    lines = ["From: a@example.org", "To: b@example.org", "Subject: uu", "", "Before."]
    for name, data in payloads.items():
        lines.append("begin 644 %s" % name)
        for i in range(0, len(data), 45):
            lines.append(binascii.b2a_uu(data[i:i + 45], backtick=True).decode().rstrip("\n"))
        lines += ["`", "end", "between"]
    raw = ("\r\n".join(lines) + "\r\n").encode()
    logon(session, mailbox, [raw])
    status, header, body, files = session.get(1, outdir)
    assert status == 0, session.host.lines
    assert body == b"Before.\r\nbetween\r\nbetween\r\nbetween\r\n"
    assert files == b"one.bin\x1btwo.txt\x1bthree"
    for name, data in payloads.items():
        with open(os.path.join(outdir, os.path.basename(name)), "rb") as f:
            assert f.read() == data


@pytest.mark.parametrize("charset,codec", [("EUC", "euc_jp"), ("SJIS", "shift_jis")])
def test_iso_2022_jp_body_in_the_session_charset(mailbox, lib, outdir, charset, codec):
    text = "日本語のテキストです。\nカタカナと漢字。\n"
    msg = headed(MIMEText(text, "plain", "iso-2022-jp"), "japanese")
    host = brevorin_ffi.Host(lib=lib, charset=charset)
    try:
        s = host.session()
        logon(s, mailbox, [wire(msg)])
        status, header, body, files = s.get(1, outdir)
        assert status == 0
        assert body == text.replace("\n", "\r\n").encode(codec)
        s.cleanup()
    finally:
        host.close()


def test_oversized_text_part_keeps_the_connection_in_step(mailbox, session, outdir):
    big = headed(EmailMessage(), "big")
    big.set_content("line of text\n" * 6000)
    small = headed(EmailMessage(), "small")
    small.set_content("small one\n")
    logon(session, mailbox, [wire(big), wire(small)])
    status, header, body, files = session.get(1, outdir)
    assert status == -11
    assert any("GET_MIME_TEXT: Message too big" in l for l in session.host.lines)
    status, header, body, files = session.get(2, outdir)
    assert (status, body) == (0, b"small one\r\n")
    assert session.get(1, outdir)[0] == -7


def test_raw_message_is_the_message_as_sent(mailbox, session):
    data = wire(headed(MIMEText(".starts with a dot\n..two dots\n"), "raw"))
    logon(session, mailbox, [data])
    status, text = session.raw(1)
    assert status == 0
    # Dovecot may add its own header lines; everything sent is there as sent.
    assert text.endswith(data[data.index(b"Content-Type"):])


def test_cli_get_and_raw(mailbox, outdir):
    msg = headed(EmailMessage(), "cli")
    msg.set_content("body for the tool\n")
    msg.add_attachment(b"attached", maintype="application", subtype="octet-stream",
                       filename="a.dat")
    mailbox.add_message(USER, wire(msg))
    cli = os.path.join(brevorin_ffi.build_dir(), "brevorin")
    common = ["--server", mailbox.server, "--user", USER]
    out = subprocess.run([cli, "get", "1", "--password-stdin", "--dir", outdir] + common, input=PASSWORD + "\n",
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "SUBJECT=cli\n" in out.stdout
    assert "body for the tool" in out.stdout
    assert os.path.join(outdir, "a.dat") in out.stdout
    with open(os.path.join(outdir, "a.dat"), "rb") as f:
        assert f.read() == b"attached"
    out = subprocess.run([cli, "raw", "1", "--password-stdin"] + common, input=PASSWORD + "\n",
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert "Subject: cli\n" in out.stdout
    out = subprocess.run([cli, "get", "9", "--password-stdin"] + common, input=PASSWORD + "\n",
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 17
    assert "get failed: no such message (status -7)" in out.stderr


def test_windows_dll_writes_files_with_backslash_paths(mailbox, wine_build, outdir):
    sizes = [0, 5, 100000]
    data = attachment_message(sizes)
    uu = ("From: a@example.org\r\nSubject: uu\r\n\r\ntext\r\nbegin 644 C:\\x\\cat.txt\r\n"
          "#8V%T\r\n`\r\nend\r\n").encode()
    mailbox.add_message(USER, data)
    mailbox.add_message(USER, uu)
    pw = wine_build.write_file(outdir, "pw", PASSWORD)
    files_dir = os.path.join(outdir, "files")
    os.mkdir(files_dir)
    windir = wine.to_windows_path(files_dir)
    results, err = wine_build.run("logon", mailbox.server, USER, pw, "+", "get", "1", windir,
                                  "0", "+", "get", "2", windir + "\\", "0", "+", "raw", "2", "0")
    by_name = [(r.name, r.status) for r in results]
    assert by_name[2:6] == [("logon", 0), ("get", 0), ("get", 0), ("raw", 0)], err
    get1, get2 = results[3], results[4]
    parts = [p for p in parsed(data).walk() if p.get_filename()]
    assert get1.texts[2].split(ESC) == [p.get_filename().encode() for p in parts]
    for p in parts:
        with open(os.path.join(files_dir, p.get_filename()), "rb") as f:
            assert f.read() == p.get_payload(decode=True)
    assert get2.texts[1] == b"text\r\n"
    assert get2.texts[2] == b"cat.txt"
    with open(os.path.join(files_dir, "cat.txt"), "rb") as f:
        assert f.read() == b"cat"
    assert "POP3_PARSE_MIME: Decoded and written file: %s\\%s" % (windir, parts[-1].get_filename()) \
        in err
