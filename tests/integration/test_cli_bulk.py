"""The tool on several messages in one visit: numbers and ranges, --all,
unique ids, delete --dry-run, and get --new with its state file, including
a run interrupted between messages and the run after it."""
import json
import os
import re
import signal
import socket
import subprocess
import threading
import time

import pytest

from conftest import USER, PASSWORD
from servers import HAS_IMAP
from test_cli import CLI, tool


def message(n):
    return ("From: a@example.org\r\nSubject: m%d\r\n\r\nbody %d\r\n" % (n, n)).encode()


def fill(mailbox, count):
    for n in range(1, count + 1):
        mailbox.add_message(USER, message(n))
        time.sleep(0.002)  # maildir names sort by time: number n is subject mn


def account(mailbox, protocol="pop3"):
    if protocol == "imap":
        return ["--server", mailbox.imap_server, "--protocol", "imap", "--user", USER,
                "--allow-plaintext-auth"]
    return ["--server", mailbox.server, "--user", USER]


def shown(out):
    """The message numbers and subjects of a get's output, in order."""
    return [(int(n), int(s)) for n, s in
            re.findall(r"==> message (\d+)(?: \(id [^)]*\))? <==\n(?:.*\n)*?SUBJECT=m(\d+)", out)]


def uidls(mailbox, protocol="pop3"):
    rc, out, err = tool(["list", "--uidl", "--json"] + account(mailbox, protocol))
    assert rc == 0, err
    return {m["number"]: m["uidl"] for m in json.loads(out)["messages"]}


@pytest.mark.parametrize("args,named", [
    (["get"], "which messages?"),
    (["get", "1", "--all"], "one selection at a time"),
    (["raw", "--all", "--uidl", "x"], "one selection at a time"),
    (["get", "3-1"], "'3-1' runs backwards (write 1-3)"),
    (["delete", "1-x"], "'x' is not a whole number"),
    (["get", "--new"], "--new and --state FILE go together"),
    (["get", "1", "--state", "f"], "--new and --state FILE go together"),
    (["get", "1", "--delete"], "deletes what --new fetched"),
    (["raw", "--new"], "unknown option '--new' for raw"),
    (["delete", "--uidl", "a b"], "'a b' is no unique id"),
])
def test_selection_usage_errors_touch_nothing(mailbox, args, named):
    fill(mailbox, 1)
    rc, out, err = tool(args + account(mailbox))
    assert rc == 2, err
    assert named in err
    assert len(mailbox.message_files(USER)) == 1


@pytest.mark.parametrize("selection,numbers", [
    (["1-2", "4"], [1, 2, 4]),
    (["--all"], [1, 2, 3, 4]),
    (["3", "1-3", "3"], [3, 1, 2]),  # in the order asked, each once
])
def test_get_and_raw_of_several_messages_log_on_once(mailbox, selection, numbers):
    fill(mailbox, 4)
    before = len(mailbox.logins())
    rc, out, err = tool(["get"] + selection + account(mailbox))
    assert rc == 0, err
    assert shown(out) == [(n, n) for n in numbers]
    rc, out, err = tool(["raw"] + selection + account(mailbox))
    assert rc == 0, err
    assert re.findall(r"==> message (\d+) <==\n(?:.*\n)*?Subject: m(\d+)", out) == \
        [(str(n), str(n)) for n in numbers]
    assert len(mailbox.logins()) == before + 2
    rc, out, err = tool(["--json", "get"] + selection + account(mailbox))
    assert rc == 0, err
    assert [(m["number"], m["header"]["subject"]) for m in json.loads(out)] == \
        [(n, "m%d" % n) for n in numbers]


@pytest.mark.parametrize("command,selection,fetched,said,left", [
    ("get", ["2-9"], [2, 3], "get: no messages 4-9 (the mailbox holds 3)", 3),
    ("get", ["1", "7", "3"], [1, 3], "get: no message 7 (the mailbox holds 3)", 3),
    ("get", ["2147483647-2147483647", "2"], [2], "no message 2147483647 (", 3),
    ("delete", ["2-9"], [], "no messages 4-9 (the mailbox holds 3); nothing deleted", 3),
    ("delete", ["1", "3-5"], [], "no messages 4-5 (the mailbox holds 3); nothing deleted", 3),
    ("delete", ["1-3", "2"], [], "", 0),
])
def test_numbers_beyond_the_mailbox_are_errors_not_crashes(mailbox, command, selection, fetched,
                                                           said, left):
    fill(mailbox, 3)
    rc, out, err = tool([command] + selection + account(mailbox))
    assert rc == (17 if said else 0), err
    assert said in err
    assert [n for n, _ in shown(out)] == fetched
    assert len(mailbox.message_files(USER)) == left


@pytest.mark.parametrize("protocol", ["pop3", pytest.param("imap", marks=pytest.mark.skipif(
    not HAS_IMAP, reason="dovecot-imapd not installed"))])
def test_messages_by_unique_id(mailbox, protocol):
    fill(mailbox, 3)
    ids = uidls(mailbox, protocol)
    assert len(set(ids.values())) == 3
    rc, out, err = tool(["get", "--uidl", ids[3], "--uidl", "nope", "--uidl", ids[1]] +
                        account(mailbox, protocol))
    assert rc == 17, err
    assert "get: no message with id 'nope'" in err
    assert shown(out) == [(3, 3), (1, 1)]
    assert "==> message 3 (id %s) <==" % ids[3] in out
    rc, out, err = tool(["delete", "--uidl", ids[2], "--uidl", "nope"] + account(mailbox, protocol))
    assert (rc, out) == (17, ""), err
    assert "no message with id 'nope'; nothing deleted" in err
    rc, out, err = tool(["delete", "--dry-run", "--uidl", ids[2]] + account(mailbox, protocol))
    assert (rc, out) == (0, "would delete message 2 (id %s)\n" % ids[2]), err
    assert len(mailbox.message_files(USER)) == 3
    rc, out, err = tool(["delete", "--uidl", ids[2]] + account(mailbox, protocol))
    assert rc == 0, err
    assert sorted(uidls(mailbox, protocol).values()) == sorted([ids[1], ids[3]])


def get_new(mailbox, state, *extra, protocol="pop3"):
    return tool(["get", "--new", "--state", str(state)] + list(extra) + account(mailbox, protocol))


@pytest.mark.parametrize("protocol", ["pop3", pytest.param("imap", marks=pytest.mark.skipif(
    not HAS_IMAP, reason="dovecot-imapd not installed"))])
def test_new_mail_is_fetched_once_and_deleted_only_when_fetched(mailbox, tmp_path, protocol):
    state = tmp_path / "state"
    fill(mailbox, 2)
    rc, out, err = get_new(mailbox, state, protocol=protocol)
    assert rc == 0, err
    assert shown(out) == [(1, 1), (2, 2)]
    assert "2 new messages fetched" in err
    lines = state.read_text().splitlines()
    assert lines[0].startswith("brevorin-state %s://%s@127.0.0.1:" % (protocol, USER))
    assert sorted(lines[1:]) == sorted(uidls(mailbox, protocol).values())
    rc, out, err = get_new(mailbox, state, protocol=protocol)
    assert (rc, out) == (0, ""), err
    assert "no new messages (2 in the mailbox)" in err
    mailbox.add_message(USER, message(3))
    rc, out, err = get_new(mailbox, state, "--delete", protocol=protocol)
    assert rc == 0, err
    assert shown(out) == [(3, 3)]
    assert "1 marked for deletion" in err
    # The two fetched before stay: --delete removes only this visit's.
    assert len(mailbox.message_files(USER)) == 2
    rc, out, err = get_new(mailbox, state, protocol=protocol)
    assert (rc, out) == (0, ""), err
    # Ids of messages gone from the server are forgotten.
    assert len(state.read_text().splitlines()) == 3


@pytest.mark.parametrize("content,said", [
    ("brevorin-state pop3://bob@127.0.0.1:1/\nX\n", "it is the state of pop3://bob@127.0.0.1:1/"),
    ("From: a@example.org\n", "it is no state file of this tool"),
])
def test_state_file_of_another_account_is_refused_before_connecting(mailbox, tmp_path, content,
                                                                    said):
    fill(mailbox, 1)
    state = tmp_path / "state"
    state.write_text(content)
    before = len(mailbox.logins())
    rc, out, err = get_new(mailbox, state)
    assert (rc, out) == (2, ""), err
    assert said in err and "not of pop3://%s@" % USER in err
    assert state.read_text() == content
    assert len(mailbox.logins()) == before


class Pop3Peer:
    """A POP3 server of count messages, each with an attachment m<N>.bin,
    for one visit after another on the same port (a state file names the
    port); in the first visit, RETR of message stall_from waits until the
    client goes. retrieved: the RETR numbers of each visit."""

    def __init__(self, count, stall_from):
        self.count, self.stall_from = count, stall_from
        self.texts = {n: self.text(n) for n in range(1, count + 1)}
        self.retrieved = []
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(30)
        self.server = "127.0.0.1+%d" % self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    @staticmethod
    def text(n):
        return ("From: a@example.org\r\nSubject: m%d\r\nMIME-Version: 1.0\r\n"
                "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
                "Content-Type: text/plain\r\n\r\nbody %d\r\n--b\r\n"
                "Content-Type: application/octet-stream\r\nContent-Disposition: attachment; "
                "filename=m%d.bin\r\nContent-Transfer-Encoding: base64\r\n\r\nZGF0YQ==\r\n"
                "--b--\r\n" % (n, n, n)).encode()

    def answer(self, line, visit):
        words = line.split() + [b"", b""]
        verb, n = words[0].upper(), int(words[1]) if words[1].isdigit() else 0
        if verb == b"STAT":
            return b"+OK %d %d\r\n" % (self.count, sum(map(len, self.texts.values())))
        if verb == b"LIST":
            return b"+OK %d %d\r\n" % (n, len(self.texts[n]))
        if verb == b"UIDL":
            return b"+OK %d id-%d\r\n" % (n, n)
        if verb == b"TOP":
            return b"+OK\r\n" + self.texts[n].split(b"\r\n\r\n")[0] + b"\r\n\r\n.\r\n"
        if verb == b"RETR":
            self.retrieved[visit].append(n)
            if visit == 0 and n == self.stall_from:
                return None
            return b"+OK\r\n" + self.texts[n] + b".\r\n"
        return b"-ERR no\r\n" if verb == b"CAPA" else b"+OK\r\n"

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            self.retrieved.append([])
            visit = len(self.retrieved) - 1
            with conn, conn.makefile("rb") as lines:
                conn.sendall(b"+OK ready\r\n")
                for line in lines:
                    reply = self.answer(line, visit)
                    if reply is None:  # stalled: wait for the client to go
                        conn.recv(1)
                        break
                    conn.sendall(reply)
                    if line.upper().startswith(b"QUIT"):
                        break

    def close(self):
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the accept
        except OSError:
            pass
        self.listener.close()
        self.thread.join(5)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_interrupted_new_mail_run_is_finished_by_the_next(tmp_path, sig):
    files, state = tmp_path / "files", tmp_path / "state"
    files.mkdir()
    peer = Pop3Peer(3, stall_from=2)
    args = ["get", "--new", "--state", str(state), "--server", peer.server, "--user", USER,
            "--dir", str(files)]
    proc = subprocess.Popen([CLI, "--password-stdin"] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    proc.stdin.write(PASSWORD.encode() + b"\n")
    proc.stdin.close()
    deadline = time.time() + 30
    while peer.retrieved[-1:] != [[1, 2]] and time.time() < deadline:
        time.sleep(0.05)
    assert peer.retrieved == [[1, 2]], "the tool never reached message 2"
    proc.send_signal(sig)
    assert proc.wait(10) == -sig
    first_out = proc.stdout.read().decode()
    proc.stdout.close()
    proc.stderr.close()
    assert shown(first_out) == [(1, 1)]
    assert state.read_text().splitlines()[1:] == ["id-1"]
    assert os.listdir(files) == ["m1.bin"]

    rc, out, err = tool(args)
    peer.close()
    assert rc == 0, err
    assert peer.retrieved == [[1, 2], [2, 3]]
    assert shown(out) == [(2, 2), (3, 3)]
    assert sorted(os.listdir(files)) == ["m1.bin", "m2.bin", "m3.bin"]
    assert state.read_text().splitlines()[1:] == ["id-1", "id-2", "id-3"]
