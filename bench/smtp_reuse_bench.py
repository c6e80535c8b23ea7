"""One SMTP connection for many messages: 20 messages of 2 KB sent through a
proxy that delays every chunk by 25 ms each way (a 50 ms round trip), to an
aiosmtpd server offering PIPELINING, plain and with STARTTLS and AUTH, and
one that also offers CHUNKING (BDAT, which the test sink adds to aiosmtpd):

  - the library as it always sent: a connection per message (smtp_keep_open
    unset), pipelining=auto and the modern rules;
  - the same session with smtp_keep_open=60;
  - Python's smtplib on one connection (plain only);

each with its time and the client's turns per message that the proxy saw
(a turn: the client writes after the server has answered; the connection's
own handshake is not one). Then, without the proxy, every message's time on
loopback, per connection against kept.

Figures of one run (2 cores; "defaults": no option set, HELO and one
command at a time; "pipelined": pipelining=auto, mime=modern):

  through the proxy, 25 ms each way:
  plain, defaults                20 msgs  6.66 s  0.333 s/msg  6.0 turns/msg
  plain, pipelined               20 msgs  4.62 s  0.231 s/msg  4.0 turns/msg
  plain, kept open               20 msgs  2.13 s  0.107 s/msg  2.1 turns/msg
  plain, smtplib one connection  20 msgs  4.21 s  0.211 s/msg  4.1 turns/msg
  starttls+auth, defaults        20 msgs 10.83 s  0.541 s/msg 11.0 turns/msg
  starttls+auth, pipelined       20 msgs  8.79 s  0.440 s/msg  9.0 turns/msg
  starttls+auth, kept open       20 msgs  2.35 s  0.117 s/msg  2.3 turns/msg
  chunking, defaults             20 msgs  6.68 s  0.334 s/msg  6.0 turns/msg
  chunking, pipelined            20 msgs  4.63 s  0.232 s/msg  4.0 turns/msg
  chunking, kept open            20 msgs  1.11 s  0.055 s/msg  1.1 turns/msg
  chunking+starttls+auth, defaults  20 msgs 10.90 s 0.545 s/msg 11.0 turns/msg
  chunking+starttls+auth, kept open 20 msgs  1.32 s 0.066 s/msg  1.4 turns/msg
  plain kept open: 3.13x the defaults, 2.17x pipelined per connection,
  1.98x smtplib on one connection; starttls+auth kept open: 4.62x the
  defaults, 3.75x pipelined per connection. Kept open, a message takes the
  two round trips DATA allows (envelope and DATA, then the message); the
  first message also pays for the connection. Where the server offers
  CHUNKING a kept message takes one round trip (MAIL, RCPT and BDAT with the
  message in one write): 6.03x the defaults plain, 8.27x with STARTTLS and
  AUTH; the turns above the 1.0 a message are the first one's handshake.

  on loopback, a message per connection / kept open: plain median 0.0015 s
  / 0.0006 s, slowest 0.0023 s / 0.0013 s; starttls+auth median 0.0054 s /
  0.0007 s, slowest 0.0066 s / 0.0055 s (the first, which opens the
  connection as every message did); chunking median 0.0013 s / 0.0002 s,
  slowest 0.0018 s / 0.0011 s: no message slower than before.

  /usr/bin/python3 bench/smtp_reuse_bench.py [--delay-ms 25] [--messages 20]
Build directory: BREVORIN_BUILD_DIR (default build).
"""
import argparse
import os
import smtplib
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))
sys.path.insert(0, HERE)

import brevorin_ffi  # noqa: E402
import certs  # noqa: E402
from pipelining_bench import DelayProxy  # noqa: E402
from servers import SmtpSink  # noqa: E402

SMTP_USER = "bench"
SMTP_PASSWORD = "bench-pw"


def body(i, size=2048):
    line = "Invoice %d: amount due, reference, terms and the usual closing words.\r\n" % i
    return (line * (size // len(line) + 1))[:size]


def headers(i):
    return brevorin_ffi.header_list(TO="customer%d@example.org" % i, FROM="billing@example.org",
                                    SUBJECT="Invoice %d" % i)


def library_run(host, server, options, keep, count, proxy=None):
    """Sends count messages in one session; the per-message times."""
    s = host.session()
    try:
        all_options = dict(options)
        if keep:
            all_options["smtp_keep_open"] = "60"
        assert s.setoptions(all_options) == 0
        if proxy:
            proxy.reset_turns()
        times = []
        for i in range(count):
            start = time.perf_counter()
            status = s.send(server, headers(i), body(i))
            times.append(time.perf_counter() - start)
            assert status == 0, status
    finally:
        s.cleanup()
    return times


def smtplib_run(port, count, proxy):
    proxy.reset_turns()
    times = []
    start_all = time.perf_counter()
    with smtplib.SMTP("127.0.0.1", port) as client:
        client.ehlo()
        for i in range(count):
            start = time.perf_counter()
            msg = ("From: billing@example.org\r\nTo: customer%d@example.org\r\n"
                   "Subject: Invoice %d\r\n\r\n%s" % (i, i, body(i)))
            client.sendmail("billing@example.org", ["customer%d@example.org" % i], msg)
            times.append(time.perf_counter() - start)
    # The connection and its greeting belong to the run.
    times[0] += (time.perf_counter() - start_all) - sum(times)
    return times


def line(label, times, proxy=None):
    total = sum(times)
    turns = " %4.1f turns/msg" % (proxy.turns / len(times)) if proxy else ""
    print("  %-34s %3d msgs %6.2f s  %6.3f s/msg%s  (max %.3f s)" %
          (label, len(times), total, total / len(times), turns, max(times)), flush=True)
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--delay-ms", type=float, default=25)
    parser.add_argument("--messages", type=int, default=20)
    args = parser.parse_args()
    host = brevorin_ffi.Host(trace=0)
    n = args.messages
    with tempfile.TemporaryDirectory(prefix="brevorin-bench-") as d:
        pki = certs.Pki(d)
        good = pki.server("good")
        plain = SmtpSink(pipelining=True).start()
        secure = SmtpSink(pipelining=True, tls=good, users={SMTP_USER: SMTP_PASSWORD}).start()
        chunked = SmtpSink(chunking=True).start()
        secure_chunked = SmtpSink(chunking=True, tls=good,
                                  users={SMTP_USER: SMTP_PASSWORD}).start()
        tls = {"security": "starttls", "ca_file": pki.ca_file, "auth": "plain",
               "smtp_user": SMTP_USER, "smtp_password": SMTP_PASSWORD}
        try:
            print("through the proxy, %g ms each way:" % args.delay_ms)
            totals = {}
            for name, sink, options in (("plain", plain, {}), ("starttls+auth", secure, tls),
                                        ("chunking", chunked, {}),
                                        ("chunking+starttls+auth", secure_chunked, tls)):
                proxy = DelayProxy(sink.port, args.delay_ms / 1000)
                server = "127.0.0.1+%d" % proxy.port
                modern = dict(options, pipelining="auto", mime="modern")
                runs = (("defaults", options, False), ("pipelined", modern, False),
                        ("kept open", modern, True))
                for label, chosen, keep in runs:
                    times = library_run(host, server, chosen, keep, n, proxy)
                    totals[name, label] = line("%s, %s" % (name, label), times, proxy)
                if name == "plain":
                    times = smtplib_run(proxy.port, n, proxy)
                    totals["smtplib"] = line("plain, smtplib one connection", times, proxy)
            for name in ("plain", "starttls+auth", "chunking", "chunking+starttls+auth"):
                kept = totals[name, "kept open"]
                print("  %s kept open: %.2fx the defaults, %.2fx pipelined per connection" %
                      (name, totals[name, "defaults"] / kept, totals[name, "pipelined"] / kept))
            print("  plain kept open: %.2fx smtplib on one connection" %
                  (totals["smtplib"] / totals["plain", "kept open"]))
            print("on loopback:")
            for name, sink, options in (("plain", plain, {}), ("starttls+auth", secure, tls),
                                        ("chunking", chunked, {})):
                server = "127.0.0.1+%d" % sink.port
                modern = dict(options, pipelining="auto", mime="modern")
                today = library_run(host, server, modern, False, n)
                kept = library_run(host, server, modern, True, n)
                line("%s, per connection" % name, today)
                line("%s, kept open" % name, kept)
                print("  %s: slowest message kept open %.4f s, per connection %.4f s "
                      "(medians %.4f s and %.4f s)" % (name, max(kept), max(today),
                                                      statistics.median(kept),
                                                      statistics.median(today)))
        finally:
            for sink in (plain, secure, chunked, secure_chunked):
                sink.stop()
    host.close()


if __name__ == "__main__":
    main()
