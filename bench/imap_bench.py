"""IMAP benchmark, in one run against one throwaway Dovecot serving POP3 and
IMAP from the same maildir:

  - listing 1,000 messages after logon: the library over IMAP against the
    library's pipelined POP3 listing of the same mailbox, with Python's
    imaplib (headers fetched in one command, From/Subject/Date decoded) and
    curl (the same UID FETCH, nothing parsed) beside them;
  - the message with a 20 MiB attachment over IMAPS, decoded with the
    attachment written to a file: the library against curl's imaps fetch of
    the raw message (curl does not decode) and imaplib + email; wall time
    and peak memory of each process;
  - listing 52 messages through a proxy that delays each direction by
    25 ms, IMAP against pipelined POP3.

  /usr/bin/python3 bench/imap_bench.py [--messages N] [--mib M] [--rounds R]
Build directory: BREVORIN_BUILD_DIR (default build).
"""
import argparse
import email
import email.header
import email.parser
import email.policy
import imaplib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))

import brevorin_ffi  # noqa: E402
import certs  # noqa: E402
from get_bench import message as large_message, timed_with_rss  # noqa: E402
from list_bench import message as listed_message  # noqa: E402
from pipelining_bench import DelayProxy  # noqa: E402
from servers import Dovecot  # noqa: E402

USER = "bench"
PASSWORD = "bench-pw"

IMAPLIB_GET = r"""
import email, imaplib, os, ssl, sys
port, user, password, ca, out = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
imap = imaplib.IMAP4_SSL("127.0.0.1", port, ssl_context=ssl.create_default_context(cafile=ca))
imap.login(user, password)
imap.select("INBOX", readonly=True)
data = imap.uid("FETCH", "1:*", "(BODY.PEEK[])")[1][0][1]
for part in email.message_from_bytes(data).walk():
    if part.get_filename():
        with open(os.path.join(out, os.path.basename(part.get_filename())), "wb") as f:
            f.write(part.get_payload(decode=True))
imap.logout()
"""


def library_listing(lib, server, options, expected):
    """Seconds to list the whole mailbox after logon, page by page as a host
    pages (list_from after the last number it got)."""
    host = brevorin_ffi.Host(lib=lib, trace=0)
    s = host.session()
    try:
        assert s.setoptions(dict(options, logon_pause="0")) == 0
        assert s.logon(server, USER, PASSWORD) == 0
        listed = 0
        start = time.perf_counter()
        while True:
            n, text = s.list()
            assert n >= 0, n
            if n == 0:
                break
            listed += n
            last = int(brevorin_ffi.list_records(text)[-1]["NMB"])
            assert s.setoption("list_from", str(last + 1)) == 0
        elapsed = time.perf_counter() - start
        assert s.logoff() == 0
    finally:
        s.cleanup()
        host.close()
    assert listed == expected, (listed, expected)
    return elapsed


def imaplib_listing(port, expected):
    imap = imaplib.IMAP4("127.0.0.1", port)
    imap.login(USER, PASSWORD)
    imap.select("INBOX", readonly=True)
    start = time.perf_counter()
    data = imap.uid("FETCH", "1:*", "(UID RFC822.SIZE BODY.PEEK[HEADER])")[1]
    parser = email.parser.BytesHeaderParser(policy=email.policy.compat32)
    count = 0
    for item in data:
        if isinstance(item, tuple):
            msg = parser.parsebytes(item[1])
            for key in ("From", "Subject", "Date"):
                str(email.header.make_header(email.header.decode_header(msg.get(key, ""))))
            count += 1
    elapsed = time.perf_counter() - start
    imap.logout()
    assert count == expected
    return elapsed


def curl_listing(port):
    """curl's custom request, logon included; NaN where curl gives up (it
    does on large answers full of literals)."""
    cmd = ["curl", "-s", "-u", "%s:%s" % (USER, PASSWORD), "imap://127.0.0.1:%d/INBOX" % port,
           "-X", "UID FETCH 1:* (UID RFC822.SIZE BODY.PEEK[HEADER])"]
    start = time.perf_counter()
    done = subprocess.run(cmd, stdout=subprocess.DEVNULL).returncode == 0
    return time.perf_counter() - start if done else float("nan")


def median_of(rounds, fn):
    return statistics.median(fn() for _ in range(rounds))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--messages", type=int, default=1000)
    ap.add_argument("--mib", type=int, default=20)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    build = os.environ.get("BREVORIN_BUILD_DIR") or os.path.join(SOURCE, "build")
    get_bench = os.path.join(build, "bench", "get_bench")
    if not os.path.exists(get_bench):
        sys.exit("build the get_bench target first: %s" % get_bench)
    lib = brevorin_ffi.load()
    work = tempfile.mkdtemp(prefix="brevorin-imap-bench-")
    outdir = os.path.join(work, "out")
    password_file = os.path.join(work, "password")
    with open(password_file, "w") as f:
        f.write(PASSWORD + "\n")
    pki = certs.Pki(work)
    results = {}
    try:
        with Dovecot({USER: PASSWORD}, tls=pki.server("bench")) as dovecot:
            pop3 = {"pipelining": "auto", "security": "starttls", "ca_file": pki.ca_file}
            imap = {"protocol": "imap", "security": "starttls", "ca_file": pki.ca_file}
            # ---- listing
            for i in range(args.messages):
                dovecot.add_message(USER, listed_message(i))
            n = args.messages
            library_listing(lib, dovecot.server, pop3, n)  # Dovecot builds its indexes
            library_listing(lib, dovecot.imap_server, imap, n)
            results["list: pop3 pipelined"] = median_of(
                args.rounds, lambda: library_listing(lib, dovecot.server, pop3, n))
            results["list: imap"] = median_of(
                args.rounds, lambda: library_listing(lib, dovecot.imap_server, imap, n))
            plain = Dovecot({USER: PASSWORD})
            # imaplib and curl in the clear: the plain server shares nothing,
            # so it gets the same messages.
            with plain:
                for i in range(args.messages):
                    plain.add_message(USER, listed_message(i))
                imaplib_listing(plain.imap_port, n)
                results["list: imaplib+parse (clear)"] = median_of(
                    args.rounds, lambda: imaplib_listing(plain.imap_port, n))
                results["list: curl, logon incl. (clear)"] = median_of(
                    args.rounds, lambda: curl_listing(plain.imap_port))
                results["list: imap (clear)"] = median_of(
                    args.rounds,
                    lambda: library_listing(lib, plain.imap_server, {"protocol": "imap"}, n))

                # ---- through the delaying proxy
                dovecot.clear(USER)
                plain.clear(USER)
                for i in range(52):
                    plain.add_message(USER, listed_message(i))
                for label, port, options in (
                        ("proxy: imap, 52 messages", plain.imap_port, {"protocol": "imap"}),
                        ("proxy: pop3 pipelined", plain.port, {"pipelining": "auto"})):
                    proxy = DelayProxy(port, 0.025)
                    server = "127.0.0.1+%d" % proxy.port
                    results[label] = median_of(
                        3, lambda: library_listing(lib, server, options, 52))

            # ---- retrieval over IMAPS
            data = large_message(args.mib)
            dovecot.add_message(USER, data)
            tls_options = ["protocol=imap", "security=tls", "ca_file=" + pki.ca_file]
            runs = {
                "get: library imaps": [get_bench, dovecot.imaps_server, USER, password_file,
                                       outdir] + tls_options,
                "get: library pop3s": [get_bench, dovecot.tls_server, USER, password_file, outdir,
                                       "security=tls", "ca_file=" + pki.ca_file],
                "get: curl imaps raw": ["curl", "-s", "--cacert", pki.ca_file, "-u",
                                        "%s:%s" % (USER, PASSWORD),
                                        "imaps://127.0.0.1:%d/INBOX;UID=1" % dovecot.imaps_port,
                                        "-o", os.path.join(outdir, "raw.eml")],
                "get: imaplib+email": ["/usr/bin/python3", "-c", IMAPLIB_GET,
                                       str(dovecot.imaps_port), USER, PASSWORD, pki.ca_file,
                                       outdir],
            }
            timed_with_rss(runs["get: library imaps"], outdir)
            expected = [p for p in email.message_from_bytes(data).walk()
                        if p.get_filename()][0].get_payload(decode=True)
            with open(os.path.join(outdir, "report.bin"), "rb") as f:
                if f.read() != expected:
                    sys.exit("the library wrote a different attachment")
            peaks = {}
            for label, cmd in runs.items():
                times, rss = [], []
                for _ in range(args.rounds):
                    t, peak, _ = timed_with_rss(cmd, outdir)
                    times.append(t)
                    rss.append(peak)
                results[label] = statistics.median(times)
                peaks[label] = max(rss)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("%-34s %10s %12s" % ("", "median s", "peak MiB"))
    for label, seconds in results.items():
        peak = peaks.get(label)
        print("%-34s %10.4f %12s" % (label, seconds, "%.1f" % (peak / 1024) if peak else "-"))
    print("imap listing / pipelined pop3 listing: %.2f (target <= 1.2)"
          % (results["list: imap"] / results["list: pop3 pipelined"]))
    print("imap listing / imaplib+parse:          %.2f"
          % (results["list: imap (clear)"] / results["list: imaplib+parse (clear)"]))
    print("imaps retrieval / curl imaps raw:      %.2f (target <= 1.0)"
          % (results["get: library imaps"] / results["get: curl imaps raw"]))
    print("imaps retrieval peak memory:           %.1f MiB (pop3s: %.1f MiB)"
          % (peaks["get: library imaps"] / 1024, peaks["get: library pop3s"] / 1024))
    print("52 messages through the proxy:         %.3f s (target <= 0.3; pop3 pipelined %.3f s)"
          % (results["proxy: imap, 52 messages"], results["proxy: pop3 pipelined"]))


if __name__ == "__main__":
    main()
