"""How often the tool waits for Dovecot, counted by a proxy between them: a
turn is a write of the client after the server has spoken, and a turn the
client does not wait out (it closes before any answer) costs no round trip.
A change that brings back a round trip fails here, whatever the clock says."""
import os
import subprocess
import sys
import threading

import pytest

import brevorin_ffi
from conftest import USER, PASSWORD
from servers import HAS_IMAP

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
from pipelining_bench import DelayProxy  # noqa: E402

CLI = os.path.join(brevorin_ffi.build_dir(), "brevorin")
MESSAGES = 52
# Enough that a second write of the client always reaches the proxy before
# an answer to its first could, so that one write is never counted as two.
DELAY = 0.005


class WaitCounter(DelayProxy):
    """The delaying proxy that also notes whether the client closed without
    waiting for an answer to its last write."""

    def reset_turns(self):
        super().reset_turns()
        self.done = threading.Event()
        self.closed_unanswered = False

    def _pipe(self, src, dst, from_client):
        if not from_client:
            return super()._pipe(src, dst, from_client)
        proxy = self

        class Watched:
            def recv(self, n):
                try:
                    data = src.recv(n)
                except OSError:
                    data = b""
                if not data:
                    with proxy._lock:
                        proxy.closed_unanswered = not proxy._server_spoke
                    proxy.done.set()
                return data
        return super()._pipe(Watched(), dst, from_client)

    def round_trips(self):
        return self.turns - (1 if self.closed_unanswered else 0)


def message(i):
    return ("From: Sender %d <s%d@example.org>\r\nTo: alice@example.org\r\nSubject: message %d\r\n"
            "Message-ID: <%d@example.org>\r\n\r\nbody of message %d\r\n" % (i, i, i, i, i)).encode()


@pytest.fixture(scope="module")
def filled(dovecot):
    dovecot.clear(USER)
    for i in range(1, MESSAGES + 1):
        dovecot.add_message(USER, message(i))
    return dovecot


def count(port, protocol, args, tmp_path):
    proxy = WaitCounter(port, DELAY)
    try:
        proxy.reset_turns()
        extra = ["--protocol", "imap"] if protocol == "imap" else []
        command = [CLI, "--password-stdin"] + args + [
            "--server", "127.0.0.1+%d" % proxy.port, "--user", USER, "--logon-pause", "0",
            "--allow-plaintext-auth"] + extra
        proc = subprocess.run([a if a != "DIR" else str(tmp_path) for a in command],
                              input=(PASSWORD + "\n").encode(), capture_output=True, timeout=60)
        assert proc.returncode == 0, proc.stderr.decode(errors="replace")
        assert proxy.done.wait(10), "the client's end never reached the proxy"
        return proxy.turns, proxy.round_trips(), proc.stdout.decode(errors="replace")
    finally:
        proxy.listener.close()


# (protocol, command, extra arguments, turns, round trips, a line of the output).
# Pipelining (the default): POP3 asks CAPA once, signs in and asks STAT in
# one write, asks LIST with RETR, or with the first TOP of a listing, and
# does not wait for QUIT; IMAP does not wait for LOGOUT. --classic-mime
# keeps the dialogue of one command at a time, each answer awaited.
CASES = [
    ("pop3", "stat", [], 3, 2, "52 messages"),
    ("pop3", "get", ["1", "--dir", "DIR"], 4, 3, "body of message 1"),
    ("pop3", "list", [], 5, 4, "message 52"),
    ("pop3", "stat", ["--classic-mime"], 4, 4, "52 messages"),
    ("pop3", "get", ["1", "--dir", "DIR", "--classic-mime"], 6, 6, "body of message 1"),
    ("imap", "stat", [], 3, 2, "52 messages"),
    ("imap", "get", ["2", "--dir", "DIR"], 4, 3, "body of message 2"),
    ("imap", "list", [], 4, 3, "message 52"),
    ("imap", "get", ["2", "--dir", "DIR", "--classic-mime"], 4, 4, "body of message 2"),
]


@pytest.mark.parametrize("protocol,command,args,turns,round_trips,shown", CASES,
                         ids=["%s-%s-%d" % (c[0], c[1], i) for i, c in enumerate(CASES)])
def test_turns_per_command(filled, tmp_path, protocol, command, args, turns, round_trips, shown):
    if protocol == "imap" and not HAS_IMAP:
        pytest.skip("dovecot-imapd not installed")
    port = filled.imap_port if protocol == "imap" else filled.port
    seen_turns, seen_round_trips, out = count(port, protocol, [command] + args, tmp_path)
    assert shown in out
    assert (seen_turns, seen_round_trips) == (turns, round_trips)
