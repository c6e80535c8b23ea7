"""Pipelining benchmark: a proxy on loopback delays every chunk by 25 ms each
way (a 50 ms round trip) in front of a throwaway Dovecot and an SMTP server
that offers PIPELINING. Measured in one run:

  - after logon, listing 50 messages: the library with pipelining=auto and
    with pipelining=off, Python's poplib (LIST + TOP per message), and curl
    (one LIST of the whole mailbox, logon included: sizes only, the floor);
  - sending one message to 20 recipients: the library with pipelining=auto
    and off, and Python's smtplib; with the round trips after the greeting
    that the proxy saw (a round trip: the client writes after it has read);
  - without the proxy, sending to 10,000 recipients through a server that
    writes each reply on its own (and so, with Nagle's rule, holds each
    further reply until the client acknowledges the last): pipelining=auto
    against off, which must not be slower.

  /usr/bin/python3 bench/pipelining_bench.py [--delay-ms 25] [--rounds 3]
Build directory: BREVORIN_BUILD_DIR (default build).
"""
import argparse
import os
import poplib
import queue
import shutil
import smtplib
import socket
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))

import brevorin_ffi  # noqa: E402
from modern_support import PipeliningSink, set_option  # noqa: E402
from servers import Dovecot  # noqa: E402

USER = "bench"
PASSWORD = "bench-pw"
MESSAGES = 50
RECIPIENTS = 20


class DelayProxy:
    """Forwards one connection at a time to target, each chunk delayed by
    delay seconds in its direction; counts the client's turns (a write after
    the server's answer) since reset_turns()."""

    def __init__(self, target_port, delay):
        self.target_port = target_port
        self.delay = delay
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.turns = 0
        self._server_spoke = False
        self._lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def reset_turns(self):
        with self._lock:
            self.turns = 0
            self._server_spoke = False

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.target_port))
            for s in (client, upstream):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._pipe(client, upstream, from_client=True)
            self._pipe(upstream, client, from_client=False)

    def _pipe(self, src, dst, from_client):
        q = queue.Queue()

        def reader():
            while True:
                try:
                    data = src.recv(65536)
                except OSError:
                    data = b""
                with self._lock:
                    if data and from_client and self._server_spoke:
                        self.turns += 1
                        self._server_spoke = False
                    elif data and not from_client:
                        self._server_spoke = True
                q.put((time.monotonic() + self.delay, data))
                if not data:
                    return

        def writer():
            while True:
                due, data = q.get()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                if not data:
                    try:
                        dst.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
                    return
                try:
                    dst.sendall(data)
                except OSError:
                    return

        threading.Thread(target=reader, daemon=True).start()
        threading.Thread(target=writer, daemon=True).start()


def message(i):
    return ("From: Sender %d <s%d@example.org>\r\nTo: bench@example.org\r\nSubject: message %d\r\n"
            "Date: Tue, 08 Dec 2026 01:00:00 +0000\r\nMessage-ID: <%d@example.org>\r\n\r\n"
            "body of message %d\r\n" % (i, i, i, i, i)).encode()


def timed(fn, rounds):
    times = []
    result = None
    for _ in range(rounds):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def library_listing(host, server, mode, rounds):
    def once():
        s = host.session()
        try:
            set_option(s, "pipelining", mode)
            assert s.logon(server, USER, PASSWORD) == 0
            start = time.perf_counter()
            n, _ = s.list()
            elapsed = time.perf_counter() - start
            s.logoff()
        finally:
            s.cleanup()
        assert n == MESSAGES, n
        return elapsed
    return statistics.median(once() for _ in range(rounds))


def poplib_listing(port, rounds):
    def once():
        p = poplib.POP3("127.0.0.1", port)
        p.user(USER)
        p.pass_(PASSWORD)
        start = time.perf_counter()
        count = p.stat()[0]
        for n in range(1, count + 1):
            p.list(n)
            p.top(n, 0)
        elapsed = time.perf_counter() - start
        p.quit()
        return elapsed
    return statistics.median(once() for _ in range(rounds))


def curl_listing(port, rounds):
    if shutil.which("curl") is None:
        return None
    cmd = ["curl", "-s", "-u", "%s:%s" % (USER, PASSWORD), "pop3://127.0.0.1:%d/" % port]
    return timed(lambda: subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True), rounds)[0]


def library_send(host, proxy, mode, rounds):
    headers = brevorin_ffi.header_list(to=",".join("r%02d@example.org" % n for n in range(RECIPIENTS)),
                                       from_="sender@example.org", subject="twenty")

    def once():
        s = host.session()
        set_option(s, "pipelining", mode)
        proxy.reset_turns()
        start = time.perf_counter()
        status = s.send("127.0.0.1+%d" % proxy.port, headers, "text for twenty\n")
        elapsed = time.perf_counter() - start
        s.cleanup()
        assert status == 0, status
        return elapsed, proxy.turns
    runs = [once() for _ in range(rounds)]
    return statistics.median(r[0] for r in runs), runs[-1][1]


def smtplib_send(proxy, rounds):
    def once():
        proxy.reset_turns()
        start = time.perf_counter()
        with smtplib.SMTP("127.0.0.1", proxy.port) as smtp:
            smtp.sendmail("sender@example.org", ["r%02d@example.org" % n for n in range(RECIPIENTS)],
                          b"Subject: twenty\r\n\r\ntext for twenty\r\n")
        return time.perf_counter() - start, proxy.turns
    runs = [once() for _ in range(rounds)]
    return statistics.median(r[0] for r in runs), runs[-1][1]


class OneReplyPerWrite:
    """An SMTP server on loopback that offers PIPELINING and sends every reply
    in a write of its own, Nagle's rule left on, as many small servers do."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        with conn, conn.makefile("rb") as lines:
            conn.sendall(b"220 ready\r\n")
            in_data = False
            for line in lines:
                verb = line[:4].upper()
                if in_data:
                    if line == b".\r\n":
                        in_data = False
                        conn.sendall(b"250 queued\r\n")
                elif verb == b"EHLO":
                    conn.sendall(b"250-ready\r\n250 PIPELINING\r\n")
                elif verb == b"DATA":
                    in_data = True
                    conn.sendall(b"354 go\r\n")
                elif verb == b"QUIT":
                    conn.sendall(b"221 bye\r\n")
                    return
                else:
                    conn.sendall(b"250 ok\r\n")

    def close(self):
        self.listener.close()


def many_recipients(host, rounds, count=10000):
    server = OneReplyPerWrite()
    headers = brevorin_ffi.header_list(to="r@example.org",
                                       bcc=",".join("r%05d@example.org" % n for n in range(count)),
                                       from_="sender@example.org", subject="many")
    times = {}
    for mode in ("auto", "off"):
        def once():
            s = host.session()
            set_option(s, "pipelining", mode)
            status = s.send("127.0.0.1+%d" % server.port, headers, "text\n")
            s.cleanup()
            assert status == 0, status
        times[mode] = timed(once, rounds)[0]
    server.close()
    print("\nsend to %d recipients, a server writing each reply on its own (no proxy)" % count)
    print("  library pipelining=auto  %7.3f s" % times["auto"])
    print("  library pipelining=off   %7.3f s   (%.1fx auto; target >= 1)"
          % (times["off"], times["off"] / times["auto"]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--delay-ms", type=float, default=25.0)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    delay = args.delay_ms / 1000.0
    lib = brevorin_ffi.load()
    host = brevorin_ffi.Host(trace=0, lib=lib)
    print("delay %.0f ms each way; medians of %d rounds" % (args.delay_ms, args.rounds))
    with Dovecot({USER: PASSWORD}) as dovecot:
        for i in range(1, MESSAGES + 1):
            dovecot.add_message(USER, message(i))
        proxy = DelayProxy(dovecot.port, delay)
        server = "127.0.0.1+%d" % proxy.port
        print("\nlist %d messages after logon" % MESSAGES)
        auto = library_listing(host, server, "auto", args.rounds)
        off = library_listing(host, server, "off", args.rounds)
        py = poplib_listing(proxy.port, args.rounds)
        print("  library pipelining=auto  %7.3f s" % auto)
        print("  library pipelining=off   %7.3f s   (%.1fx auto)" % (off, off / auto))
        print("  poplib LIST+TOP          %7.3f s   (%.1fx auto)" % (py, py / auto))
        curl = curl_listing(proxy.port, args.rounds)
        if curl is not None:
            print("  curl LIST, logon incl.   %7.3f s   (sizes only)" % curl)
    with PipeliningSink() as sink:
        proxy = DelayProxy(sink.port, delay)
        print("\nsend one message to %d recipients (round trips after the greeting)" % RECIPIENTS)
        auto, auto_turns = library_send(host, proxy, "auto", args.rounds)
        off, off_turns = library_send(host, proxy, "off", args.rounds)
        py, py_turns = smtplib_send(proxy, args.rounds)
        print("  library pipelining=auto  %7.3f s  %3d round trips" % (auto, auto_turns))
        print("  library pipelining=off   %7.3f s  %3d round trips   (%.1fx auto)" % (off, off_turns, off / auto))
        print("  smtplib                  %7.3f s  %3d round trips   (%.1fx auto)" % (py, py_turns, py / auto))
    many_recipients(host, args.rounds)
    host.close()


if __name__ == "__main__":
    main()
