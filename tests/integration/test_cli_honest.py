"""What the tool says matches what happened: deletions only once the server
committed them, failure headlines that name the cause, received text intact
under the C locale, and output that keeps to the options asked for."""
import json
import os
import select
import signal
import socket
import subprocess
import threading
import time
from email.message import EmailMessage

import pytest

from conftest import USER, PASSWORD
from test_cli import CLI, SIMPLE, tool, smtp_peer


class Pop3Peer:
    """A POP3 server holding count copies of SIMPLE that answers QUIT as
    told: "ok", "err" (-ERR), or "drop" (closes without a word)."""

    def __init__(self, count, on_quit):
        self.count, self.on_quit, self.lines = count, on_quit, []
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.server = "127.0.0.1+%d" % self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        self.listener.settimeout(30)
        conn, _ = self.listener.accept()
        with conn, conn.makefile("rb") as lines:
            conn.sendall(b"+OK ready\r\n")
            for line in lines:
                self.lines.append(line)
                verb = line.split()[0].upper() if line.split() else b""
                if verb == b"QUIT":
                    if self.on_quit != "drop":
                        conn.sendall(b"+OK bye\r\n" if self.on_quit == "ok" else b"-ERR no\r\n")
                    return
                if verb == b"STAT":
                    conn.sendall(b"+OK %d %d\r\n" % (self.count, self.count * len(SIMPLE)))
                elif verb == b"CAPA":
                    conn.sendall(b"-ERR no\r\n")
                else:
                    conn.sendall(b"+OK\r\n")

    def close(self):
        self.listener.close()
        self.thread.join(5)


@pytest.mark.parametrize("json_output", [False, True], ids=["text", "json"])
@pytest.mark.parametrize("on_quit", ["ok", "drop", "err"])
def test_delete_says_deleted_only_after_the_server_committed(on_quit, json_output):
    peer = Pop3Peer(3, on_quit)
    try:
        rc, out, err = tool((["--json"] if json_output else []) +
                            ["delete", "1", "3", "--server", peer.server, "--user", USER])
    finally:
        peer.close()
    assert [l.split()[0] for l in peer.lines if l.startswith(b"DELE")] == [b"DELE"] * 2
    committed = on_quit == "ok"
    assert (rc == 0) == committed, err
    if json_output:
        assert json.loads(out) == {"marked": [1, 3], "deleted": [1, 3] if committed else []}
    else:
        assert out == ("deleted message 1\ndeleted message 3\n" if committed else "")
    if not committed:
        assert "marked 1, 3, but the server did not confirm" in err
        assert err.rstrip().endswith("nothing deleted")


def attachment_message():
    msg = EmailMessage()
    msg["From"], msg["Subject"] = "a@example.org", "Grüße"
    msg.set_content("Größe: 5\n")
    msg.add_attachment(b"data", maintype="text", subtype="plain", filename="Prüfbericht März.txt")
    return msg.as_bytes()


# cron, ssh and containers run with one of these; a UTF-8 locale shows the
# same as a reference.
@pytest.mark.parametrize("environment", [{"LANG": "C"}, {"LC_ALL": "POSIX"}, {"LANG": "C.UTF-8"}])
def test_c_locale_keeps_received_text_and_file_names(mailbox, tmp_path, environment):
    mailbox.add_message(USER, attachment_message())
    env = {k: v for k, v in os.environ.items() if not k.startswith("LC_") and k != "LANG"}
    env.update(environment)
    proc = subprocess.run([CLI, "--password-stdin", "get", "1", "--server", mailbox.server, "--user", USER,
                           "--dir", str(tmp_path)], input=(PASSWORD + "\n").encode(),
                          capture_output=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "SUBJECT=Grüße".encode() in proc.stdout and "Größe: 5".encode() in proc.stdout
    assert os.listdir(str(tmp_path).encode()) == ["Prüfbericht März.txt".encode()]
    assert proc.stderr == b""


def test_replaced_characters_are_called_so(mailbox):
    mailbox.add_message(USER, "From: a@example.org\r\nContent-Type: text/plain; charset=utf-8\r\n"
                              "Content-Transfer-Encoding: 8bit\r\n\r\n\u03a9mega\r\n".encode())
    rc, out, err = tool(["--charset", "LATIN1", "get", "1", "--server", mailbox.server,
                         "--user", USER])
    assert rc == 0, err
    assert "\n?mega\n" in out
    assert "were replaced" in err and "attachment" not in err


def refusing_peer(refused):
    """An SMTP server that refuses the envelope address refused (sender or
    recipient) and takes every other."""
    peer = smtp_peer(b"220 hi\r\n")
    plain = peer.answer

    def answer(line):
        if refused in line and line[:4].upper() in (b"MAIL", b"RCPT"):
            return b"550 5.1.1 no such user\r\n"
        return plain(line)
    peer.answer = answer
    return peer


@pytest.mark.parametrize("refused,headline", [
    (b"<c@example.org>", "send failed: recipient c@example.org refused (status -2)"),
    (b"<b@example.org>", "send failed: recipient b@example.org refused (status -2)"),
    (b"<a@example.org>", "send failed: sender a@example.org refused (status -2)"),
])
def test_refusal_headline_names_the_address(refused, headline):
    peer = refusing_peer(refused)
    try:
        rc, _, err = tool(["send", "--server", peer.server, "--from", "Ann <a@example.org>",
                           "--to", "Bob <b@example.org>", "--bcc", "c@example.org"],
                          stdin="x\n")
    finally:
        peer.close()
    assert rc == 6, err
    assert err.startswith("brevorin: " + headline + "\n")
    assert "server said: 550 5.1.1 no such user" in err


def test_missing_imap_mailbox_from_the_url_path_is_named(mailbox):
    server = "imap://%s@127.0.0.1:%d/Archive" % (USER, mailbox.imap_port)
    rc, _, err = tool(["stat", "--server", server, "--allow-plaintext-auth"])
    assert rc != 0
    assert err.startswith("brevorin: logon failed: no mailbox 'Archive' on the server (status ")


def test_interrupted_send_says_so_first():
    with socket.socket() as silent:  # accepts connections, never greets
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        proc = subprocess.Popen([CLI, "send", "--server", "127.0.0.1+%d" % silent.getsockname()[1],
                                 "--from", "a@example.org", "--to", "b@example.org"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        proc.stdin.write(b"x\n")
        proc.stdin.close()
        assert select.select([silent], [], [], 30)[0], "the tool never connected"
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        err = proc.stderr.read().decode()
        assert proc.wait(10) == -signal.SIGINT
        proc.stdout.close()
        proc.stderr.close()
    assert err.startswith("brevorin: send failed: interrupted (status "), err


@pytest.mark.parametrize("options,stdout", [
    ([], "sent\n"),
    (["-q"], ""),
    (["--json"], '{"sent": true, "recipients": ["b@example.org", "c@example.org"]}\n'),
], ids=["plain", "quiet", "json"])
def test_send_output_and_several_recipients_after_one_to(smtp, options, stdout):
    rc, out, err = tool(options + ["send", "--server", smtp.server, "--from", "a@example.org",
                                   "--to", "b@example.org", "c@example.org"],
                        stdin="hello\nworld\n")
    assert (rc, out, err) == (0, stdout, "")
    got = smtp.messages[0]
    assert sorted(got["rcpt_tos"]) == ["b@example.org", "c@example.org"]
    # The text's own last line break is the message's last: no blank line.
    assert got["data"].replace(b"\r\n", b"\n").endswith(b"\n\nhello\nworld\n")


@pytest.mark.parametrize("options,files_line", [([], True), (["-q"], False), (["--json"], None)])
def test_get_prints_lf_lines_and_quiet_leaves_out_the_files(mailbox, tmp_path, options,
                                                            files_line):
    mailbox.add_message(USER, attachment_message())
    rc, out, err = tool(options + ["get", "1", "--server", mailbox.server, "--user", USER,
                                   "--dir", str(tmp_path)])
    assert rc == 0, err
    if files_line is None:  # a number, as list gives it
        assert json.loads(out.encode("latin-1"))["header"]["priority"] == 3
        return
    assert "\r" not in out and "Größe: 5\n".encode().decode("latin-1") in out
    assert ("files written:" in out) == files_line


@pytest.mark.parametrize("args,named", [
    (["send", "--to", "not an address"], "--to: 'not an address' is no mail address"),
    (["send", "--to", "b@example.org", "--cc", "Bob <bob@>"], "'Bob <bob@>' is no mail address"),
    (["send", "--to", "b@example.org, @example.org"], "'@example.org' is no mail address"),
    (["send", "--to", "Bob <b@example.org"], "'Bob <b@example.org' is no mail address"),
    (["send", "--to", "b@ex..org"], "'b@ex..org'"),
    (["stat", "--server", "imaps://u@HOST", "--protocol", "pop3"], "conflicts with the server"),
    (["stat", "--server", "pop3://u@HOST", "--protocol", "imap"], "conflicts with the server"),
    (["stat", "--server", "pop3://u@HOST/Archive"], "POP3 has no mailboxes"),
    (["stat", "--server", "imap://u@HOST/Archive", "--mailbox", "Sent"], "conflicts with the mailbox"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_conflicts_and_bad_addresses_stop_before_connecting(args, named):
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        host = "127.0.0.1:%d" % listener.getsockname()[1]
        args = [a.replace("HOST", host) for a in args]
        if args[0] == "send":
            args += ["--server", host, "--from", "a@example.org"]
        rc, out, err = tool(args, stdin="x\n", timeout=10)
        assert not select.select([listener], [], [], 0)[0], "the tool connected"
    assert (rc, out) == (2, ""), err
    assert named in err


@pytest.mark.parametrize("address", ['"Doe, John" <j@example.org>', "j.doe+tag@example.org",
                                     "<j@[127.0.0.1]>", '"j doe"@example.org'])
def test_well_formed_addresses_are_sent(smtp, address):
    rc, _, err = tool(["send", "--server", smtp.server, "--from", "a@example.org", "--to",
                       address], stdin="x\n")
    assert rc == 0, err
    assert len(smtp.messages[0]["rcpt_tos"]) == 1
