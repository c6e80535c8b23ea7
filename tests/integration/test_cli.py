"""The command-line tool against the throwaway servers: parsing, exit codes
by kind of failure, whole-mailbox listing, the password prompt on a terminal,
and interruption."""
import email
import email.policy
import os
import pty
import re
import select
import signal
import socket
import subprocess
import termios
import time
from email.message import EmailMessage

import pytest

import brevorin_ffi
from conftest import USER, PASSWORD
from servers import free_port

CLI = os.path.join(brevorin_ffi.build_dir(), "brevorin")
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SIMPLE = b"From: a@example.org\r\nSubject: kept\r\n\r\nbody\r\n"


SOURCES = ("--password-file", "--token-file", "--password-command")


def tool(args, stdin=PASSWORD + "\n", timeout=60):
    """Runs the tool with stdin piped in; a password it needs is that
    input's first line unless args name another source."""
    data = stdin.encode("latin-1") if isinstance(stdin, str) else stdin
    if not any(a in SOURCES for a in args):
        args = ["--password-stdin"] + args
    proc = subprocess.run([CLI] + args, input=data, capture_output=True, timeout=timeout)
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")


def project_version():
    with open(os.path.join(SOURCE, "CMakeLists.txt")) as f:
        return re.search(r"project\(brevorin VERSION (\S+)", f.read()).group(1)


def send_args(smtp, *extra):
    return ["send", "--server", smtp.server, "--from", "me@example.org"] + list(extra)


@pytest.mark.parametrize("args,shown", [
    (["--help"], "Exit status:"),
    (["-h"], "  4    the connection was refused"),
    (["get", "--help"], "--max-size BYTES"),
    (["send", "--help"], "(default 30"),
    (["stat", "--help"], "(default 120"),
    (["--version"], "brevorin %s\nTLS backend: " % project_version()),
])
def test_help_and_version_on_stdout(args, shown):
    rc, out, err = tool(args)
    assert (rc, err) == (0, "")
    assert shown in out


# Each runs against a mailbox holding one message: a misread number would
# fetch or delete it instead of stopping.
@pytest.mark.parametrize("args,named", [
    (["delete", "4294967297", "S"], "4294967297"),
    (["delete", "1abc", "S"], "1abc"),
    (["delete", "+1", "S"], "+1"),
    (["get", "0x1", "S"], "0x1"),
    (["get", "1", "S", "--max-size", "-5"], "--max-size"),
    (["stat", "--bogus", "S"], "--bogus"),
    (["stat", "S", "--timeout"], "--timeout"),
    (["list", "S", "--connect-timeout", "86401"], "--connect-timeout"),
    (["--charset", "KOI8-R", "delete", "1", "S"], "KOI8-R"),
    (["delete", "1", "S", "--password", PASSWORD], "--password"),
    (["delete", "1", "S", "--auth", "kerberos"], "--auth: kerberos not in {user,plain,xoauth2}"),
    (["delete", "1", "S", "--auth", "login"], "--auth: login not in"),  # an SMTP mechanism
    (["fetch", "1", "S"], "unknown command 'fetch' (commands: stat, list, get, raw, delete, send)"),
    (["stat", "S", "--pasword-file", "x"], "unknown option '--pasword-file' for stat (did you "
                                           "mean --password-file?)"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_usage_errors_do_nothing(mailbox, args, named):
    mailbox.add_message(USER, SIMPLE)
    at = args.index("S")
    args = args[:at] + ["--server", mailbox.server, "--user", USER] + args[at + 1:]
    rc, out, err = tool(args)
    assert rc == 2, err
    assert named in err
    assert len(mailbox.message_files(USER)) == 1


# The tool is modern: X-Priority as mail clients read it, none for normal.
@pytest.mark.parametrize("word,header", [("high", "1 (Highest)"), ("normal", None),
                                         ("low", "5 (Lowest)"), ("2", "4 (Low)")])
def test_priority_words(smtp, word, header):
    rc, _, err = tool(send_args(smtp, "--to", "you@example.org", "--priority", word), stdin="x\n")
    assert rc == 0, err
    assert email.message_from_bytes(smtp.messages[0]["data"])["X-Priority"] == header


@pytest.mark.parametrize("extra,stdin,named", [
    (["--priority", "urgent"], "x\n", "urgent"),
    (["--priority", "6"], "x\n", "--priority"),
    (["--charset", "UTF-16"], "x\n", "UTF-16"),
    ([], b"text\x00more", "NUL byte at offset 4"),
])
def test_send_refusals_send_nothing(smtp, extra, stdin, named):
    rc, _, err = tool(send_args(smtp, "--to", "you@example.org", *extra), stdin=stdin)
    assert rc == 2
    assert named in err
    assert smtp.messages == []


def test_repeated_recipients_all_arrive(smtp):
    rc, _, err = tool(send_args(smtp, "--to", "a@example.org", "--cc", "c@example.org",
                                "--to", "b@example.org", "--bcc", "d@example.org",
                                "--cc", "e@example.org", "--bcc", "f@example.org"),
                      stdin="hello\n")
    assert rc == 0, err
    got = smtp.messages[0]
    assert sorted(got["rcpt_tos"]) == ["%s@example.org" % c for c in "abcdef"]
    msg = email.message_from_bytes(got["data"], policy=email.policy.default)
    assert [a.addr_spec for a in msg["To"].addresses] == ["a@example.org", "b@example.org"]
    assert [a.addr_spec for a in msg["Cc"].addresses] == ["c@example.org", "e@example.org"]
    assert "Bcc" not in msg


def unresolvable():
    return "nosuch.invalid"


@pytest.mark.parametrize("command", ["stat", "send"])
@pytest.mark.parametrize("target,code,said", [
    ("closed", 4, "cannot connect"),
    ("unknown", 3, "cannot resolve host name 'nosuch.invalid'"),
    ("silent", 7, "the server did not answer in time"),
])
def test_unreachable_servers(command, target, code, said):
    with socket.socket() as silent:  # accepts connections, never greets
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        server = {"closed": "127.0.0.1+%d" % free_port(), "unknown": "nosuch.invalid",
                  "silent": "127.0.0.1+%d" % silent.getsockname()[1]}[target]
        args = (["stat", "--server", server, "--user", USER] if command == "stat" else
                ["send", "--server", server, "--from", "a@example.org", "--to", "b@example.org"])
        rc, _, err = tool(args + ["--timeout", "1"])
    assert rc == code, err
    assert said in err


def test_wrong_password_says_why(mailbox):
    rc, _, err = tool(["stat", "--server", mailbox.server, "--user", USER], stdin="wrong\n")
    assert rc == 5
    assert "library: LOGONMAIL: Exit because of authorization fault" in err
    assert "server said: [AUTH] Authentication failed" in err
    assert "wrong" not in err


def test_refused_recipient_is_a_server_refusal():
    from aiosmtpd.controller import Controller

    class Refuser:
        async def handle_RCPT(self, server, session, envelope, address, options):
            return "550 5.1.1 no mailbox here"

    port = free_port()
    controller = Controller(Refuser(), hostname="127.0.0.1", port=port)
    controller.start()
    try:
        rc, _, err = tool(["send", "--server", "127.0.0.1+%d" % port, "--from", "a@example.org",
                           "--to", "b@example.org"], stdin="x\n")
    finally:
        controller.stop()
    assert rc == 6, err
    assert "server said: 550 5.1.1 no mailbox here" in err


@pytest.mark.parametrize("command", ["send", "get"])
def test_missing_local_files_stop_the_tool_before_it_connects(tmp_path, command):
    missing = str(tmp_path / "nothere")
    with socket.socket() as silent:  # would hang the tool, were it reached
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        server = "127.0.0.1+%d" % silent.getsockname()[1]
        args = (["send", "--server", server, "--from", "a@example.org", "--to", "b@example.org",
                 "--attach", missing] if command == "send" else
                ["get", "1", "--server", server, "--user", USER, "--dir", missing])
        rc, out, err = tool(args + ["--timeout", "5"], stdin="x\n")
        assert not select.select([silent], [], [], 0)[0], "the tool connected"
    assert rc == 8, err
    flag = "--attach" if command == "send" else "--dir"
    assert "%s %s: No such file or directory" % (flag, missing) in err
    assert out == ""


def test_attachment_that_cannot_be_saved_fails_the_get(mailbox, tmp_path):
    msg = EmailMessage()
    msg["From"], msg["Subject"] = "a@example.org", "with file"
    msg.set_content("see attached\n")
    msg.add_attachment(b"data", maintype="application", subtype="octet-stream", filename="f.bin")
    mailbox.add_message(USER, msg.as_bytes())
    rc, out, err = tool(["get", "1", "--server", mailbox.server, "--user", USER,
                         "--dir", "/proc/self"])  # a directory where no file can be made
    assert rc == 8, err
    assert "see attached" in out
    assert "(status 2)" in err
    assert "brevorin: get: /proc/self/f.bin: " in err


def test_text_past_the_host_limit_is_shown_whole(mailbox):
    body = "".join("line %05d of a long message\r\n" % n for n in range(1000))
    mailbox.add_message(USER, "From: a@example.org\r\nSubject: long\r\n\r\n" + body)
    rc, out, err = tool(["raw", "1", "--server", mailbox.server, "--user", USER])
    assert rc == 0, err
    assert out.replace("\r\n", "\n").endswith("line 00999 of a long message\n")
    assert err == ""  # the host's window is no limit of the tool's


def test_list_shows_the_whole_mailbox_or_says_how_much(mailbox):
    total = 40
    for n in range(total):
        mailbox.add_message(USER, "From: a@example.org\r\nSubject: %02d %s\r\n\r\nx\r\n"
                            % (n, "s" * 400))
    rc, out, err = tool(["list", "--server", mailbox.server, "--user", USER], timeout=120)
    assert rc == 0, err
    numbers = [int(line.split()[0]) for line in out.splitlines()[1:]]
    assert numbers == list(range(1, len(numbers) + 1))
    if len(numbers) < total:  # a library that cannot page
        assert "first %d of %d messages shown" % (len(numbers), total) in err
    else:
        assert len(numbers) == total


def read_until(fd, marker, limit=30):
    data = b""
    deadline = time.time() + limit
    while marker not in data and time.time() < deadline:
        if select.select([fd], [], [], 0.5)[0]:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            data += chunk
    return data


def wait_for_child(pid, limit=30):
    """A tool that hangs fails the test instead of holding the whole run."""
    deadline = time.time() + limit
    while time.time() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("the tool was still running after %d s" % limit)


@pytest.mark.parametrize("answer", ["password", "ctrl-c"])
def test_password_prompt_on_a_terminal(mailbox, answer):
    mailbox.add_message(USER, SIMPLE)
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(CLI, [CLI, "stat", "--server", mailbox.server, "--user", USER])
    try:
        seen = read_until(fd, b": ")
        assert ("Password for %s at %s: " % (USER, mailbox.server)).encode() in seen
        if answer == "password":
            os.write(fd, PASSWORD.encode() + b"\n")
            seen += read_until(fd, b"octets")
        else:
            os.kill(pid, signal.SIGINT)
            time.sleep(0.2)
            assert termios.tcgetattr(fd)[3] & termios.ECHO  # echo back on
        status = wait_for_child(pid)
    finally:
        os.close(fd)
    if answer == "password":
        assert os.waitstatus_to_exitcode(status) == 0
        assert b"1 messages, " in seen
        assert PASSWORD.encode() not in seen
    else:
        assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGINT


def test_ctrl_c_while_waiting_for_the_server():
    with socket.socket() as silent:  # accepts connections, never greets
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        server = "127.0.0.1+%d" % silent.getsockname()[1]
        proc = subprocess.Popen([CLI, "stat", "--password-stdin", "--server", server, "--user", USER],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        proc.stdin.write(PASSWORD.encode() + b"\n")
        proc.stdin.close()
        assert select.select([silent], [], [], 30)[0], "the tool never connected"
        start = time.time()
        proc.send_signal(signal.SIGINT)
        rc = proc.wait(10)
        proc.stdout.close()
        proc.stderr.close()
    assert rc == -signal.SIGINT  # a shell reports 130
    assert time.time() - start < 5


@pytest.mark.parametrize("secret", [b"ya29.abc\0def\n", b"pass\0word\n"], ids=["token", "password"])
def test_secret_holding_a_nul_byte_is_refused(tmp_path, secret):
    """Cut at the NUL, the server would get "Bearer ya29.abc"."""
    path = tmp_path / "secret"
    path.write_bytes(secret)
    flag = "--token-file" if secret.startswith(b"ya29") else "--password-file"
    rc, _, err = tool(["stat", "--server", "127.0.0.1+1", "--user", USER, flag, str(path)])
    assert rc == 2, err
    assert "%s holds a NUL byte at offset %d" % (path, secret.index(b"\0")) in err


def pop3_peer(message, count=1, stall_in_retr=False):
    """A POP3 server for the tool: count messages, each this one; with
    stall_in_retr, RETR sends half the message and then nothing."""
    from modern_support import ScriptedPeer

    def answer(line):
        verb = line.split()[0].upper() if line.split() else b""
        if verb == b"STAT":
            return b"+OK %d %d\r\n" % (count, count * len(message))
        if verb == b"LIST":
            return b"+OK %s %d\r\n" % (line.split()[1], len(message))
        if verb == b"RETR":
            return b"+OK\r\n" + (message[:len(message) // 2] if stall_in_retr else message + b".\r\n")
        if verb == b"CAPA":
            return b"-ERR no\r\n"
        return b"+OK\r\n"
    return ScriptedPeer(b"+OK ready\r\n", answer)


def with_attachments():
    msg = EmailMessage()
    msg["From"], msg["Subject"] = "a@example.org", "files"
    msg.set_content("see attached\n")
    msg.add_attachment(b"first", maintype="application", subtype="octet-stream", filename="a.bin")
    msg.add_attachment(os.urandom(300000), maintype="application", subtype="octet-stream",
                       filename="b.bin")
    return msg.as_bytes().replace(b"\n", b"\r\n")


def test_interrupted_get_leaves_nothing_and_the_next_get_works(tmp_path):
    message = with_attachments()
    stalled = pop3_peer(message, stall_in_retr=True)
    proc = subprocess.Popen([CLI, "get", "1", "--password-stdin", "--server", stalled.server, "--user", USER,
                             "--dir", str(tmp_path)], stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    proc.stdin.write(PASSWORD.encode() + b"\n")
    proc.stdin.close()
    deadline = time.time() + 30
    while not os.listdir(tmp_path) and time.time() < deadline:
        time.sleep(0.05)
    assert os.listdir(tmp_path), "the tool never started writing"
    proc.send_signal(signal.SIGINT)
    assert proc.wait(10) == -signal.SIGINT
    proc.stderr.close()
    stalled.close()
    assert os.listdir(tmp_path) == []
    whole = pop3_peer(message)
    rc, out, err = tool(["get", "1", "--server", whole.server, "--user", USER, "--dir", str(tmp_path)])
    whole.close()
    assert rc == 0, err
    assert sorted(os.listdir(tmp_path)) == ["a.bin", "b.bin"]
    assert (tmp_path / "a.bin").read_bytes() == b"first"


def test_huge_mailbox_costs_the_tool_no_memory_per_message():
    """Teardown once wrote a line per message, and the tool kept them all:
    10,000,000 messages took 1.2 GB."""
    peer = pop3_peer(SIMPLE, count=1000000)
    proc = subprocess.run(["/usr/bin/time", "-f", "peak %M KiB", CLI, "stat", "--password-stdin", "--server", peer.server,
                           "--user", USER], input=PASSWORD.encode() + b"\n",
                          capture_output=True, timeout=60)
    peer.close()
    err = proc.stderr.decode()
    assert proc.returncode == 0, err
    assert int(re.search(r"peak (\d+) KiB", err).group(1)) < 64 * 1024, err


def imap_peer(count):
    """An IMAP server for the tool whose mailbox holds count messages."""
    from modern_support import ScriptedPeer

    def answer(line):
        tag, verb = (line.split() + [b"", b""])[:2]
        verb = verb.upper()
        if verb == b"LOGIN":
            return tag + b" OK [CAPABILITY IMAP4rev1] in\r\n"
        if verb == b"SELECT":
            return b"* %d EXISTS\r\n* OK [UIDVALIDITY 5] x\r\n%s OK sel\r\n" % (count, tag)
        if verb == b"FETCH":
            rows = b"".join(b"* %d FETCH (UID %d RFC822.SIZE 10)\r\n" % (n, n)
                            for n in range(1, count + 1))
            return rows + tag + b" OK done\r\n"
        return b"* BYE\r\n" + tag + b" OK bye\r\n"
    return ScriptedPeer(b"* OK [CAPABILITY IMAP4rev1] hi\r\n", answer)


def test_imap_logon_costs_no_more_per_message_than_pop3():
    """POP3 bounds a logon at 200 MB for 10,000,000 messages, 20 bytes a
    message; the IMAP logon's table once cost 24."""
    def peak(count):
        peer = imap_peer(count)
        proc = subprocess.run(["/usr/bin/time", "-f", "peak %M KiB", CLI, "stat", "--password-stdin", "--server",
                               peer.server, "--protocol", "imap", "--user", USER,
                               "--allow-plaintext-auth"], input=PASSWORD.encode() + b"\n",
                              capture_output=True, timeout=60)
        peer.close()
        err = proc.stderr.decode()
        assert proc.returncode == 0, err
        assert "%d messages" % count in proc.stdout.decode()
        return int(re.search(r"peak (\d+) KiB", err).group(1)) * 1024
    count = 2000000
    assert peak(count) - peak(1) <= 20 * count


@pytest.mark.parametrize("args,code,shown", [
    (["stat"], 0, "1 messages, "),
    (["delete", "1abc"], 2, ""),
    (["delete", "1", "--charset", "KOI8-R"], 2, ""),
    (["raw", "1"], 0, "Subject: kept"),
])
def test_windows_tool_under_wine(mailbox, wine_build, tmp_path, args, code, shown):
    mailbox.add_message(USER, SIMPLE)
    pw = wine_build.write_file(str(tmp_path), "pw", PASSWORD + "\n")
    proc = subprocess.run(["wine", os.path.join(wine_build.build, "brevorin.exe")] + args +
                          ["--server", mailbox.server, "--user", USER, "--password-file", pw],
                          env=wine_build.env(), stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=300)
    assert proc.returncode == code, proc.stderr.decode("latin-1")
    assert shown in proc.stdout.decode("latin-1")
    assert len(mailbox.message_files(USER)) == 1


# Server strings as people write them; the tool hands the library its own form.
@pytest.mark.parametrize("form", ["{host}:{port}", "{host}+{port}", "pop3://{user}@{host}:{port}",
                                  "POP3://{user}@{host}:{port}/"])
def test_server_forms_reach_the_mailbox(mailbox, form):
    mailbox.add_message(USER, SIMPLE)
    server = form.format(host="127.0.0.1", port=mailbox.port, user=USER)
    user = [] if "@" in form else ["--user", USER]
    rc, out, err = tool(["stat", "--server", server] + user)
    assert rc == 0, err
    assert out.startswith("1 messages, ")


@pytest.mark.parametrize("server,named", [
    ("localhost+abc", "bad port 'abc'"), ("localhost+12110x", "bad port '12110x'"),
    ("localhost:0", "bad port '0'"), ("localhost:65536", "bad port '65536'"),
    ("localhost:", "no port after"), ("[::1", "no ']'"), ("::1:110", "more than one port"),
    ("smtp://localhost", "'smtp://' is no scheme for stat"), ("pop3://@localhost", "empty user"),
])
def test_bad_server_strings_are_usage_errors_naming_the_bad_part(server, named):
    rc, _, err = tool(["stat", "--server", server, "--user", USER])
    assert rc == 2, err
    assert named in err


def test_charset_follows_the_locale(mailbox):
    mailbox.add_message(USER, "From: a@example.org\r\nSubject: =?utf-8?q?Gr=C3=BC=C3=9Fe?=\r\n\r\nx\r\n")
    shown = {}
    for lang in ("C.UTF-8", "C"):
        env = dict(os.environ, LANG=lang, LC_ALL="")
        proc = subprocess.run([CLI, "list", "--password-stdin", "--server", mailbox.server, "--user", USER],
                              input=(PASSWORD + "\n").encode(), capture_output=True, env=env,
                              timeout=60)
        assert proc.returncode == 0, proc.stderr
        shown[lang] = proc.stdout
    assert "Grüße".encode() in shown["C.UTF-8"]
    assert "Grüße".encode() in shown["C"]  # C is read as UTF-8, not as ASCII


@pytest.mark.parametrize("verdict,code", [(b"235 welcome\r\n", 0),
                                          (b"535 5.7.8 bad credentials\r\n", 5)])
def test_smtp_user_alone_logs_on_and_a_refusal_is_an_auth_failure(verdict, code):
    from modern_support import esmtp_peer
    peer = esmtp_peer([b"AUTH PLAIN LOGIN"], auth=verdict)
    try:
        rc, _, err = tool(["send", "--server", peer.server, "--from", "a@example.org", "--to",
                           "b@example.org", "--smtp-user", "u", "--allow-plaintext-auth"],
                          stdin="secret\nbody\n")
    finally:
        peer.close()
    assert rc == code, err
    assert any(line.startswith(b"AUTH PLAIN ") for line in peer.lines)
    if code:
        assert "refused the user name or password" in err


def test_tls_and_plaintext_failures_say_which_flag_helps(mailbox):
    rc, _, err = tool(["stat", "--server", mailbox.server, "--user", USER, "--tls",
                       "--timeout", "10"])
    assert rc == 10, err
    assert "--ca-file" in err and "--insecure" in err
    # IMAP's LOGIN is kept back without TLS as SMTP's AUTH is; the refusal
    # comes before any connection (port 1 would refuse one).
    for command in (["send", "--server", "127.0.0.1+1", "--from", "a@example.org", "--to",
                     "b@example.org", "--smtp-user", "u"],
                    ["list", "--server", "imap://%s@127.0.0.1:1" % USER]):
        rc, _, err = tool(command, stdin="secret\nbody\n")
        assert rc == 2, err
        assert "add --starttls or --tls" in err and "imaps://" in err, err
        assert "--allow-plaintext-auth sends it anyway" in err and "allow_plaintext_auth" not in err


def test_delete_checks_every_number_before_deleting_any(mailbox):
    for n in range(3):
        mailbox.add_message(USER, SIMPLE)
    rc, _, err = tool(["delete", "3", "99", "--server", mailbox.server, "--user", USER])
    assert rc == 17, err
    assert "no message 99 (the mailbox holds 3); nothing deleted" in err
    assert len(mailbox.message_files(USER)) == 3


def test_sent_mail_names_its_id_and_writer(smtp):
    rc, _, err = tool(send_args(smtp, "--to", "b@example.org"), stdin="x\n")
    assert rc == 0, err
    rc, _, err = tool(send_args(smtp, "--to", "b@example.org", "--no-message-id"), stdin="x\n")
    assert rc == 0, err
    first, second = (email.message_from_bytes(m["data"], policy=email.policy.default)
                     for m in smtp.messages)
    assert re.match(r"<[0-9a-f.]+@[^>]+>$", first["Message-ID"])
    assert second["Message-ID"] is None
    assert first["X-Mailer"] == "brevorin " + project_version()


# Credentials without standard input, in their order of precedence:
# --password-command, then BREVORIN_PASSWORD, then the netrc file.
@pytest.mark.parametrize("command,environment,netrc,code", [
    (None, None, "machine 127.0.0.1 login {user} password {password}", 0),
    (None, None, "machine other login x password y\ndefault login {user} password {password}", 0),
    (None, "{password}", None, 0),
    ("echo {password}", "wrong", "machine 127.0.0.1 login {user} password wrong", 0),
    (None, "{password}", "machine 127.0.0.1 login {user} password wrong", 0),
    ("exit 3", "{password}", None, 8),
    (None, None, "machine 127.0.0.1 login {user} password {password}\n"
                 "default login {user} password wrong", 0),
], ids=["netrc", "netrc-default", "environment", "command-first", "environment-before-netrc",
        "failing-command", "machine-before-default"])
def test_credentials_from_command_environment_and_netrc(mailbox, tmp_path, command, environment,
                                                       netrc, code):
    mailbox.add_message(USER, SIMPLE)
    args = ["stat", "--server", mailbox.server]
    env = {k: v for k, v in os.environ.items() if k not in ("BREVORIN_PASSWORD", "NETRC")}
    if netrc:
        path = tmp_path / "netrc"
        path.write_text(netrc.format(user=USER, password=PASSWORD) + "\n")
        args += ["--netrc-file", str(path)]
    if not netrc or "default" not in netrc and "login" not in netrc:
        args += ["--user", USER]
    if command:
        args += ["--password-command", command.format(password=PASSWORD)]
    if environment:
        env["BREVORIN_PASSWORD"] = environment.format(password=PASSWORD)
    proc = subprocess.run([CLI] + args, stdin=subprocess.DEVNULL, capture_output=True, env=env,
                          timeout=60)
    assert proc.returncode == code, proc.stderr
    if code == 0:
        assert proc.stdout.startswith(b"1 messages, ")


def test_json_documents_for_stat_list_and_get(mailbox, tmp_path):
    import json
    msg = EmailMessage()
    msg["From"], msg["Subject"], msg["Message-ID"] = "Ann <a@example.org>", "Grüße", "<m1@x>"
    msg.set_content("hello\n")
    msg.add_attachment(b"data", maintype="application", subtype="pdf", filename="r.pdf")
    mailbox.add_message(USER, msg.as_bytes())
    base = ["--server", mailbox.server, "--user", USER, "--json", "--charset", "LATIN1"]
    rc, out, err = tool(["stat"] + base)
    assert rc == 0, err
    assert json.loads(out) == {"messages": 1, "octets": len(msg.as_bytes().replace(b"\n", b"\r\n"))}
    rc, out, err = tool(["list", "--uidl"] + base)
    assert rc == 0, err
    record = json.loads(out.encode("latin-1"))["messages"][0]
    assert (record["number"], record["subject"], record["message_id"]) == (1, "Grüße", "<m1@x>")
    assert record["from"] == "Ann <a@example.org>" and record["priority"] == 3 and record["uidl"]
    rc, out, err = tool(["get", "1", "--dir", str(tmp_path)] + base)
    assert rc == 0, err
    got = json.loads(out.encode("latin-1"))
    assert got["status"] == 0 and got["header"]["subject"] == "Grüße"
    assert got["body"].replace("\r\n", "\n") == "hello\n"
    assert got["files"] == [{"name": "r.pdf", "path": str(tmp_path / "r.pdf"), "size": 4}]


def test_verbose_masks_the_password_and_quiet_says_nothing_more(mailbox):
    for n in range(2):
        mailbox.add_message(USER, SIMPLE)
    rc, _, err = tool(["stat", "-v", "--server", mailbox.server, "--user", USER])
    assert rc == 0, err
    assert "STAT" in err and PASSWORD not in err
    rc, out, err = tool(["-q", "delete", "1", "--server", mailbox.server, "--user", USER])
    assert (rc, out, err) == (0, "", "")


def closed_server():
    return "127.0.0.1+%d" % free_port()


# The secret is the command's first line, read no further and waited for no
# longer than a moment: exit 4 shows the tool went on to connect.
@pytest.mark.parametrize("command,code,shown", [
    ("yes", 4, "cannot connect"),
    # (its standard error away from the test's pipe, which it would hold open)
    ("exec 2>/dev/null; echo secret; sleep 60", 4, "cannot connect"),
    ("printf 'secret\\n'; exec cat /dev/zero", 4, "cannot connect"),
    ("exit 3", 8, "the password command failed (exit code 3)"),
    ("kill -TERM $$", 8, "the password command failed (killed by signal 15"),
    ("head -c 16384 /dev/zero | tr '\\0' a; echo", 4, "cannot connect"),
    ("head -c 16385 /dev/zero | tr '\\0' a; echo", 2, "first line is longer than 16384 bytes"),
    ("head -c 100000 /dev/zero | tr '\\0' a", 2, "first line is longer than 16384 bytes"),
], ids=["endless", "lingers", "endless-after-line", "exit-code", "signal", "line-at-limit",
        "line-past-limit", "no-line-end"])
def test_password_command_gives_its_first_line_at_once(command, code, shown):
    start = time.time()
    rc, _, err = tool(["stat", "--server", closed_server(), "--user", USER, "--auth", "xoauth2",
                       "--allow-plaintext-auth", "--password-command", command], stdin=b"",
                      timeout=30)
    assert (rc, time.time() - start < 6) == (code, True), err
    assert shown in err
    assert "status %d" % (code << 8) not in err


# Nothing is sent for an empty secret: the server would count a failed login.
@pytest.mark.parametrize("source,stdin", [
    (["--password-command", "true"], b"unused\n"),
    (["--password-command", "printf '\\n'"], b""),
    ([], b""),
    ([], b"\r\n"),
    (["--password-file", "EMPTY"], b"x\n"),
], ids=["command-prints-nothing", "command-prints-empty-line", "empty-stdin", "empty-line",
        "empty-file"])
def test_empty_password_is_refused_before_connecting(tmp_path, source, stdin):
    empty = tmp_path / "empty"
    empty.write_bytes(b"\n")
    source = [str(empty) if a == "EMPTY" else a for a in source]
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        server = "127.0.0.1+%d" % listener.getsockname()[1]
        rc, _, err = tool(["stat", "--server", server, "--user", USER] + source, stdin=stdin)
        assert not select.select([listener], [], [], 0)[0], "the tool connected"
    assert rc == 2, err
    assert "is empty; give it with --password-file, --password-command" in err


@pytest.mark.parametrize("kind", ["fifo", "directory", "device"])
def test_attachment_that_is_no_regular_file_is_refused_before_connecting(tmp_path, kind):
    path = {"fifo": str(tmp_path / "fifo"), "directory": str(tmp_path), "device": "/dev/zero"}[kind]
    if kind == "fifo":
        os.mkfifo(path)
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        rc, out, err = tool(["send", "--server", "127.0.0.1+%d" % listener.getsockname()[1],
                             "--from", "a@example.org", "--to", "b@example.org", "--attach", path],
                            stdin="x\n", timeout=10)
        assert not select.select([listener], [], [], 0)[0], "the tool connected"
    assert (rc, out) == (8, ""), err
    assert "--attach %s: not a regular file" % path in err


def smtp_peer(greeting, rcpt=b"250 ok\r\n"):
    from modern_support import ScriptedPeer

    def answer(line):
        verb = line.split(b" ")[0].strip().upper()
        return {b"RCPT": rcpt, b"QUIT": b"221 bye\r\n"}.get(verb, b"250 ok\r\n")
    return ScriptedPeer(greeting, answer)


def imap_atom_peer(atom_length):
    from modern_support import ScriptedPeer
    greeting = b"* OK [CAPABILITY IMAP4rev1] ready\r\n* %s\r\n" % (b"A" * atom_length)

    def answer(line):
        tag, verb = (line.split(b" ") + [b""])[:2]
        verb = verb.strip().upper()
        if verb == b"SELECT":
            return b"* 1 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\n%s OK [READ-WRITE] done\r\n" % tag
        if verb == b"FETCH":
            return b"* 1 FETCH (UID 5 RFC822.SIZE 10)\r\n%s OK done\r\n" % tag
        if verb == b"LOGOUT":
            return b"* BYE\r\n%s OK bye\r\n" % tag
        return b"%s OK done\r\n" % tag
    return ScriptedPeer(greeting, answer)


SEND = ["send", "--from", "a@example.org", "--to", "b@example.org"]


# A server that answers with what cannot be read was reached: the tool must
# not send its user looking for a firewall.
@pytest.mark.parametrize("peer,args,code,shown", [
    (lambda: smtp_peer(b"hello there\r\n"), SEND, 9, "(unusable reply)"),
    (lambda: smtp_peer(b"25 short\r\n"), SEND, 9, "server said: 25 short"),
    (lambda: smtp_peer(b"220 hi\r\n", rcpt=b"25 short\r\n"), SEND, 9, "server said: 25 short"),
    (lambda: smtp_peer(b"220 hi\r\n", rcpt=b"550 no\r\n"), SEND, 6, "server said: 550 no"),
    (lambda: imap_atom_peer(8193), ["stat", "--allow-plaintext-auth"], 9, "(unusable reply)"),
    (lambda: imap_atom_peer(8192), ["stat", "--allow-plaintext-auth"], 0, ""),
], ids=["smtp-greeting-words", "smtp-greeting-short-code", "smtp-rcpt-short-code",
        "smtp-refusal", "imap-atom-past-limit", "imap-atom-at-limit"])
def test_unusable_reply_is_not_a_connection_failure(peer, args, code, shown):
    peer = peer()
    server = peer.server if args is SEND else "imap://%s@127.0.0.1:%d" % (USER, peer.port)
    try:
        rc, _, err = tool(args + ["--server", server, "--timeout", "5"], stdin="pw\nbody\n")
    finally:
        peer.close()
    assert rc == code, err
    assert shown in err
    assert "cannot connect" not in err


# ESC ] 0 ; sets a terminal's title, ESC [ 2 J clears it; C1 CSI does the
# same in one byte.
@pytest.mark.parametrize("verbose", [[], ["-v"], ["--trace"]])
@pytest.mark.parametrize("refusal,shown", [
    (b"550 \x1b]0;owned\x07\x1b[2J no\r\n", r"550 \x1b]0;owned\x07\x1b[2J no"),
    ("550 caf\u00e9 \u009b2J\r\n".encode(), "550 caf\u00e9 \\u009b2J".encode().decode("latin-1")),
    (b"550 caf\xe9 \x9b2J\r\n", "550 caf\xe9 \\x9b2J"),
], ids=["escape-sequences", "utf8-c1", "latin1-c1"])
def test_server_text_reaches_the_terminal_escaped(verbose, refusal, shown):
    peer = smtp_peer(b"220 hi\r\n", rcpt=refusal)
    try:
        rc, _, err = tool(verbose + SEND + ["--server", peer.server], stdin="body\n")
    finally:
        peer.close()
    assert rc == 6, err
    assert "brevorin: server said: " + shown in err
    assert not re.search("[\x00-\x08\x0b-\x1f\x7f\x9b]", err), repr(err)
