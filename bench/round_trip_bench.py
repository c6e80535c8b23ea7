"""Round trips of the tool's mailbox commands: the tool (stat, get of a small
message, a listing of 52 messages) over POP3 and IMAP against a throwaway
Dovecot, through a proxy that delays every chunk by 25 ms each way (a 50 ms
round trip, a nearby data centre). For each tool given, the wall time of the
whole command (median) and the client's turns the proxy saw (a turn: the
client writes after the server has spoken).

  /usr/bin/python3 bench/round_trip_bench.py [--delay-ms 25] [--rounds 5]
      [--tool NAME=PATH ...] [--show]

Without --tool, the tool of BREVORIN_BUILD_DIR (default build) is measured.
Give an older build beside it to compare, e.g.
  --tool before=/tmp/brevorin-before --tool after=build/brevorin
--show prints what the client wrote in each turn of the last round.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))

from pipelining_bench import DelayProxy  # noqa: E402
from servers import HAS_IMAP, Dovecot  # noqa: E402

USER = "bench"
PASSWORD = "bench-pw"
MESSAGES = 52


def message(i):
    return ("From: Sender %d <s%d@example.org>\r\nTo: bench@example.org\r\nSubject: message %d\r\n"
            "Date: Tue, 08 Dec 2026 01:00:00 +0000\r\nMessage-ID: <%d@example.org>\r\n\r\n"
            "body of message %d\r\n" % (i, i, i, i, i)).encode()


class TranscriptProxy(DelayProxy):
    """The delaying proxy that also keeps, per turn, what the client wrote."""

    def __init__(self, target_port, delay):
        super().__init__(target_port, delay)
        self.writes = []

    def reset_turns(self):
        super().reset_turns()
        with self._lock:
            self.writes = []

    def _pipe(self, src, dst, from_client):
        if not from_client:
            return super()._pipe(src, dst, from_client)
        proxy = self

        class Recorder:
            def recv(self, n):
                data = src.recv(n)
                with proxy._lock:
                    if data and (proxy._server_spoke or not proxy.writes):
                        proxy.writes.append(b"")
                    if data:
                        proxy.writes[-1] += data
                return data
        return super()._pipe(Recorder(), dst, from_client)


def operations(server, out_dir):
    common = ["--server", server, "--user", USER, "--logon-pause", "0", "--timeout", "30"]
    return [
        ("stat", ["stat"] + common),
        ("get", ["get", "1", "--dir", out_dir] + common),
        ("list %d" % MESSAGES, ["list"] + common),
    ]


def run_tool(tool, args, protocol):
    extra = ["--protocol", "imap", "--allow-plaintext-auth"] if protocol == "imap" else []
    start = time.perf_counter()
    proc = subprocess.run([tool, "--password-stdin"] + args + extra, input=(PASSWORD + "\n").encode(),
                          capture_output=True, timeout=120)
    elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        raise RuntimeError("%s %s: exit %d: %s" % (tool, " ".join(args), proc.returncode,
                                                    proc.stderr.decode(errors="replace")))
    return elapsed


def measure(proxy, tool, args, protocol, rounds):
    times, turns = [], None
    for _ in range(rounds):
        proxy.reset_turns()
        times.append(run_tool(tool, args, protocol))
        # The proxy forwards the client's last words after the tool has
        # exited; let them arrive before the count is read.
        time.sleep(proxy.delay * 3)
        turns = proxy.turns
    return statistics.median(times), turns, list(proxy.writes)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--delay-ms", type=float, default=25.0)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--tool", action="append", default=[], metavar="NAME=PATH")
    parser.add_argument("--show", action="store_true")
    args = parser.parse_args()
    tools = [t.split("=", 1) for t in args.tool] or [
        ("this", os.path.join(os.environ.get("BREVORIN_BUILD_DIR", os.path.join(SOURCE, "build")),
                              "brevorin"))]
    delay = args.delay_ms / 1000.0
    print("delay %.0f ms each way; whole command, medians of %d rounds" % (args.delay_ms, args.rounds))
    with Dovecot({USER: PASSWORD}) as dovecot, tempfile.TemporaryDirectory() as out_dir:
        for i in range(1, MESSAGES + 1):
            dovecot.add_message(USER, message(i))
        ports = [("pop3", dovecot.port)] + ([("imap", dovecot.imap_port)] if HAS_IMAP else [])
        for protocol, port in ports:
            proxy = TranscriptProxy(port, delay)
            server = "127.0.0.1+%d" % proxy.port
            print("\n%s" % protocol.upper())
            for label, tool_args in operations(server, out_dir):
                for name, tool in tools:
                    seconds, turns, writes = measure(proxy, tool, tool_args, protocol, args.rounds)
                    print("  %-8s %-8s %6.3f s  %2d turns" % (label, name, seconds, turns))
                    if args.show:
                        for n, w in enumerate(writes):
                            text = w.decode("latin-1")
                            if "PASS " in text or "LOGIN " in text:
                                text = text.replace(PASSWORD, "***")
                            print("      %2d %r" % (n, text[:160]))


if __name__ == "__main__":
    main()
