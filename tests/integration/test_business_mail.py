"""The mail businesses send and receive, through the tool against the
throwaway servers, checked with Python's email package: HTML with inline
images and typed attachments."""
import email
import email.policy
import os
import subprocess

import pytest

import brevorin_ffi

CLI = os.path.join(brevorin_ffi.build_dir(), "brevorin")


def tool(args, stdin=b""):
    # A password the tool needs is the first line of stdin.
    proc = subprocess.run([CLI, "--password-stdin"] + args, input=stdin, capture_output=True,
                          timeout=60)
    return proc.returncode, proc.stdout.decode("utf-8", "replace"), proc.stderr.decode("utf-8", "replace")


def sent(smtp):
    assert len(smtp.messages) == 1
    return email.message_from_bytes(smtp.messages[0]["data"], policy=email.policy.default)


@pytest.mark.parametrize("attach", [[], ["logo.png"], ["logo.png", "report.pdf"]],
                         ids=["html-only", "inline-image", "inline-and-file"])
def test_html_goes_out_with_its_rendering_and_inline_images(smtp, tmp_path, attach):
    html = tmp_path / "news.html"
    html.write_text("<html><body><h1>Caf&eacute; news</h1><p>Read <a href='https://example.org/x'>"
                    "more</a></p><img src='cid:logo.png'></body></html>")
    for name in attach:
        (tmp_path / name).write_bytes(b"\x89PNG data" if name.endswith(".png") else b"%PDF-1.4")
    args = ["send", "--server", smtp.server, "--from", "ACME News <news@example.org>",
            "--to", "b@example.org", "--subject", "News", "--html", str(html), "--charset", "UTF8"]
    for name in attach:
        args += ["--attach", str(tmp_path / name)]
    rc, _, err = tool(args)
    assert rc == 0, err
    msg = sent(smtp)
    assert msg["From"].addresses[0].display_name == "ACME News"
    plain = msg.get_body(("plain",))
    assert plain.get_content().replace("\r\n", "\n") == "Caf\u00e9 news\n\nRead more <https://example.org/x>\n"
    assert "<h1>Caf&eacute; news</h1>" in msg.get_body(("html",)).get_content()
    shape = [part.get_content_type() for part in msg.walk()]
    if not attach:
        assert shape == ["multipart/alternative", "text/plain", "text/html"]
        return
    image = next(p for p in msg.walk() if p.get_content_type() == "image/png")
    assert image["Content-ID"] == "<logo.png>"
    assert image.get_content_disposition() == "inline"
    assert image.get_content() == b"\x89PNG data"
    related = ["multipart/alternative", "text/plain", "multipart/related", "text/html", "image/png"]
    if len(attach) == 1:
        assert shape == related
    else:
        assert shape == ["multipart/mixed"] + related + ["application/pdf"]
        pdf = [p for p in msg.iter_attachments()][-1]
        assert pdf.get_filename() == "report.pdf" and pdf.get_content() == b"%PDF-1.4"
    boundaries = [p.get_boundary() for p in msg.walk() if p.is_multipart()]
    assert len(set(boundaries)) == len(boundaries)
    assert not any(a.startswith(b) for a in boundaries for b in boundaries if a != b)


def test_attachments_are_typed_by_extension_and_boundaries_are_random(smtp, tmp_path):
    files = {"a.pdf": "application/pdf", "b.CSV": "text/csv", "c.docx":
             "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
             "d.jpeg": "image/jpeg", "e.unknownext": "application/octet-stream"}
    args = ["send", "--server", smtp.server, "--from", "a@example.org", "--to", "b@example.org"]
    for name in files:
        (tmp_path / name).write_bytes(b"x")
        args += ["--attach", str(tmp_path / name)]
    for _ in range(2):
        rc, _, err = tool(args + ["--charset", "UTF8"], stdin=b"text\n")
        assert rc == 0, err
    msgs = [email.message_from_bytes(m["data"], policy=email.policy.default) for m in smtp.messages]
    got = {p.get_filename(): p.get_content_type() for p in msgs[0].iter_attachments()}
    assert got == files
    csv = next(p for p in msgs[0].iter_attachments() if p.get_filename() == "b.CSV")
    assert csv.get_param("charset") == "UTF-8"
    assert msgs[0].get_boundary() != msgs[1].get_boundary()


def server_uidls(mailbox):
    import poplib
    from conftest import PASSWORD, USER
    host, port = mailbox.server.split("+")
    pop = poplib.POP3(host, int(port))
    pop.user(USER)
    pop.pass_(PASSWORD)
    uidls = dict(line.decode().split() for line in pop.uidl()[1])
    pop.quit()
    return uidls


@pytest.mark.parametrize("mode", [[], ["--classic-mime"]], ids=["pipelined", "one-at-a-time"])
def test_list_names_each_message_by_its_uidl(mailbox, mode):
    from conftest import PASSWORD, USER
    for i in range(40):
        mailbox.add_message(USER, b"From: a@example.org\r\nSubject: m%d\r\n\r\nbody\r\n" % i)
    expected = server_uidls(mailbox)
    rc, out, err = tool(["list", "--server", mailbox.server, "--user", USER, "--raw", "--uidl"] + mode,
                        stdin=(PASSWORD + "\n").encode())
    assert rc == 0, err
    items = [item.split("=", 1) for item in out.strip().split("\x1b")]
    numbers = [value for key, value in items if key == "NMB"]
    uidls = [value for key, value in items if key == "UIDL"]
    assert dict(zip(numbers, uidls)) == expected
    assert items[0][0] == "NMB" and items[1][0] == "UIDL"  # right after NMB
    rc, table, err = tool(["list", "--server", mailbox.server, "--user", USER, "--uidl"] + mode,
                          stdin=(PASSWORD + "\n").encode())
    assert rc == 0, err
    assert table.splitlines()[0].startswith("UIDL") and expected["40"] in table.splitlines()[40]


def test_getmail_header_record_ends_with_the_uidl(mailbox, host):
    from conftest import PASSWORD, USER
    mailbox.add_message(USER, b"From: a@example.org\r\nSubject: one\r\n\r\nbody\r\n")
    expected = server_uidls(mailbox)["1"]
    s = host.session()
    try:
        assert s.logon(mailbox.server, USER, PASSWORD) == 0
        status, header, _, _ = s.get(1)
        assert status == 0 and b"UIDL=" not in header
        assert s.setoption("uidl", "yes") == 0
        status, header, _, _ = s.get(1)
        assert status == 0
        assert header.split(b"\x1b")[-1] == b"UIDL=" + expected.encode()
        s.logoff()
    finally:
        s.cleanup()


@pytest.mark.parametrize("text,subject,status", [
    ("Gr\u00fc\u00dfe aus K\u00f6ln\r\n".encode(), "Gr\u00fc\u00dfe".encode(), 0),
    (b"plain ascii\r\n", "\u20ac 5".encode(), 0),
    (b"Gr\xfc\xdfe\r\n", b"latin-1", -10),
    (b"ok\r\n", b"Gr\xfc\xdfe", -10),
], ids=["utf8-text", "utf8-subject", "latin1-text", "latin1-subject"])
def test_eight_bit_with_an_ascii_host_is_utf8_or_refused(smtp, host, text, subject, status):
    s = host.session()
    try:
        assert s.setoption("mime", "modern") == 0
        got = s.lib.brevorin_sendmail(smtp.server.encode(),
                                      b"TO=b@example.org\x1bFROM=a@example.org\x1bSUBJECT=" + subject,
                                      text, b"", 0, s.handle)
        assert got == status
        if status != 0:
            assert smtp.messages == []
            assert any("8-bit text that is not UTF-8" in line for line in host.lines)
            return
        msg = sent(smtp)
        assert str(msg["Subject"]) == subject.decode()
        assert msg.get_content_charset() == "utf-8"
        assert msg.get_content().replace("\r\n", "\n").rstrip() == text.decode().rstrip()
    finally:
        s.cleanup()


@pytest.mark.parametrize("extensions,sender,text,status,mail_from", [
    ([b"SIZE 1000"], b"a@example.org", b"short\r\n", 0, rb"MAIL FROM: <a@example.org> SIZE=(\d+)"),
    ([b"SIZE 1000"], b"a@example.org", b"x" * 2000 + b"\r\n", -6, None),
    ([b"SIZE", b"SMTPUTF8"], "j\u00fcrgen@example.org".encode(), b"hi\r\n", 0,
     rb"MAIL FROM: <j\xc3\xbcrgen@example.org> SIZE=\d+ SMTPUTF8"),
    ([b"SIZE 100000"], "j\u00fcrgen@example.org".encode(), b"hi\r\n", -10, None),
], ids=["size-stated", "over-the-limit", "smtputf8", "no-smtputf8"])
def test_smtp_extensions_are_used_and_limits_hold_before_data(host, extensions, sender, text,
                                                              status, mail_from):
    import re
    from modern_support import esmtp_peer
    peer = esmtp_peer(extensions)
    s = host.session()
    try:
        assert s.setoptions({"mime": "modern", "message_id": "auto"}) == 0
        got = s.lib.brevorin_sendmail(peer.server.encode(),
                                      b"TO=b@example.org\x1bFROM=" + sender, text, b"", 0, s.handle)
        assert got == status, host.lines
    finally:
        s.cleanup()
        peer.close()
    sent_lines = peer.lines
    if mail_from is None:
        assert not any(l.startswith(b"MAIL FROM") for l in sent_lines)
        assert not any(l.startswith(b"DATA") for l in sent_lines)
        if status == -6:
            assert any("limit of 1000 bytes" in line for line in host.lines)
        return
    command = next(l for l in sent_lines if l.startswith(b"MAIL FROM"))
    m = re.match(mail_from, command)
    assert m, command
    if m.groups():
        start = sent_lines.index(b"DATA\r\n") + 1
        message = b"".join(sent_lines[start:sent_lines.index(b".\r\n", start)])
        assert len(message) <= int(m.group(1)) <= len(message) + 4096


def test_ipv6_logon_and_listing_against_dovecot_on_loopback():
    from conftest import PASSWORD, USER
    from servers import Dovecot
    dovecot = Dovecot({USER: PASSWORD}, address="::1").start()
    try:
        dovecot.add_message(USER, b"From: a@example.org\r\nSubject: over six\r\n\r\nbody\r\n")
        assert dovecot.server.startswith("[::1]+")
        rc, out, err = tool(["list", "--server", dovecot.server, "--user", USER],
                            stdin=(PASSWORD + "\n").encode())
        assert rc == 0, err
        assert "over six" in out
        rc, _, err = tool(["stat", "--server", "127.0.0.1+%d" % dovecot.port, "--user", USER,
                           "--connect-timeout", "5"], stdin=(PASSWORD + "\n").encode())
        assert rc == 4, err  # nothing listens on IPv4 there
    finally:
        dovecot.stop()


def test_ipv6_logon_from_the_dll_under_wine(wine_build, tmp_path):
    """The DLL finds getaddrinfo at run time; Wine's sockets reach ::1."""
    import wine
    from conftest import PASSWORD, USER
    from servers import Dovecot
    dovecot = Dovecot({USER: PASSWORD}, address="::1").start()
    try:
        dovecot.add_message(USER, b"From: a@example.org\r\nSubject: over six\r\n\r\nbody\r\n")
        password = wine_build.write_file(str(tmp_path), "pw", PASSWORD)
        results, err = wine_build.run("logon", dovecot.server, USER, password, "+", "list", "+",
                                      "logoff")
        by_name = {r.name: r for r in results}
        assert by_name["logon"].status == 0, err
        assert b"SUBJECT=over six" in by_name["list"].texts[0], err
    finally:
        dovecot.stop()
