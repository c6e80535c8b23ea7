"""Listing benchmark: 1,000 messages in a throwaway Dovecot, listed after
logon by

  - the library (bench/list_bench library): LIST + TOP + header extraction,
  - the bare dialogue in C++ (bench/list_bench bare): the same 2,000 round
    trips, answers read to their end and not looked at,
  - Python's poplib doing LIST + TOP and parsing From, Subject and Date,
  - Python's poplib doing LIST + TOP only,
  - the Windows build of the first two under Wine, when it is there.

Each is run ROUNDS times after a warm-up; the medians and their ratios to
the bare dialogue are printed.

  /usr/bin/python3 bench/list_bench.py [--messages N] [--rounds R]
Build directories: BREVORIN_BUILD_DIR (default build) and
BREVORIN_WIN_BUILD_DIR (default build-win).
"""
import argparse
import email.charset
import email.header
import email.message
import email.parser
import email.policy
import email.utils
import os
import poplib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))

from servers import Dovecot  # noqa: E402

USER = "bench"
PASSWORD = "bench-pw"
POLICY = email.policy.compat32.clone(linesep="\r\n")


def message(i):
    msg = email.message.Message(policy=POLICY)
    for hop in range(3):
        msg["Received"] = ("from relay%d.example.net (relay%d.example.net [192.0.2.%d]) by "
                           "mx.example.org with ESMTP id %08X; %s"
                           % (hop, hop, hop + 1, i * 7 + hop, email.utils.formatdate(i * 60)))
    msg["Return-Path"] = "<sender%d@example.net>" % i
    if i % 3 == 0:
        cs = email.charset.Charset("iso-8859-1")
        cs.header_encoding = email.charset.QP
        msg["From"] = email.header.Header("Zoë", cs).encode() + " <zoe%d@example.net>" % i
        msg["Subject"] = "Re: " + email.header.Header("Café", cs).encode() + " number %d" % i
    elif i % 3 == 1:
        msg["From"] = "Sender %d <sender%d@example.net>" % (i, i)
        msg["Subject"] = email.header.Header("会議の件 %d" % i, "iso-2022-jp").encode()
    else:
        msg["From"] = "sender%d@example.net" % i
        msg["Subject"] = "Plain subject of message %d with a few words in it" % i
    msg["To"] = "Reader <reader@example.org>"
    msg["Date"] = email.utils.formatdate(1796000000 + i * 60)
    msg["Message-ID"] = "<bench.%d@example.net>" % i
    msg["X-Priority"] = str(1 + i % 5)
    msg["MIME-Version"] = "1.0"
    msg["Content-Type"] = "text/plain; charset=us-ascii"
    msg.set_payload("".join("Line %d of the body of message %d.\r\n" % (n, i) for n in range(30)))
    return msg.as_bytes(policy=POLICY)


def poplib_round(port, parse):
    pop = poplib.POP3("127.0.0.1", port)
    pop.user(USER)
    pop.pass_(PASSWORD)
    count = pop.stat()[0]
    parser = email.parser.BytesHeaderParser(policy=email.policy.compat32)
    start = time.perf_counter()
    for n in range(1, count + 1):
        int(pop.list(n).split()[2])
        _, lines, _ = pop.top(n, 0)
        if parse:
            msg = parser.parsebytes(b"\r\n".join(lines))
            for key in ("From", "Subject", "Date"):
                value = msg.get(key, "")
                str(email.header.make_header(email.header.decode_header(value)))
    elapsed = time.perf_counter() - start
    pop.quit()
    return elapsed


def run_program(cmd, label):
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=1800,
                          env=dict(os.environ, WINEDEBUG="-all"))
    out = proc.stdout.decode("latin-1")
    m = re.search(r"median=([0-9.]+) messages=(\d+)", out)
    if proc.returncode != 0 or not m:
        raise RuntimeError("%s failed: %s %s" % (label, out, proc.stderr.decode("latin-1")))
    rounds = [float(x) for x in re.findall(r"round=\d+ seconds=([0-9.]+)", out)]
    return float(m.group(1)), int(m.group(2)), rounds


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--messages", type=int, default=1000)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()

    build = os.environ.get("BREVORIN_BUILD_DIR") or os.path.join(SOURCE, "build")
    win_build = os.environ.get("BREVORIN_WIN_BUILD_DIR") or os.path.join(SOURCE, "build-win")
    native = os.path.join(build, "bench", "list_bench")
    windows = os.path.join(win_build, "bench", "list_bench.exe")
    if not os.path.exists(native):
        sys.exit("build the list_bench target first: %s" % native)

    workdir = tempfile.mkdtemp(prefix="brevorin-list-bench-")
    password_file = os.path.join(workdir, "password")
    with open(password_file, "w") as f:
        f.write(PASSWORD + "\n")

    with Dovecot({USER: PASSWORD}) as dovecot:
        for i in range(args.messages):
            dovecot.add_message(USER, message(i), name="%010d.b%05d.bench" % (1700000000 + i, i))
        server = dovecot.server
        print("%d messages in Dovecot on %s, %d rounds each" % (args.messages, server,
                                                               args.rounds))
        # Warm-up: Dovecot builds its index on the first visit.
        run_program([native, "bare", server, USER, password_file, "1"], "warm-up")

        results = {}
        results["bare (C++)"] = run_program(
            [native, "bare", server, USER, password_file, str(args.rounds)], "bare")
        results["library"] = run_program(
            [native, "library", server, USER, password_file, str(args.rounds)], "library")
        for label, parse in (("poplib LIST+TOP+parse", True), ("poplib LIST+TOP", False)):
            times = [poplib_round(dovecot.port, parse) for _ in range(args.rounds)]
            results[label] = (statistics.median(times), args.messages, times)
        if shutil.which("wine") and os.path.exists(windows):
            wine_password = "Z:" + password_file.replace("/", "\\")
            run_program(["wine", windows, "bare", server, USER, wine_password, "1"],
                        "wine warm-up")
            results["wine bare"] = run_program(
                ["wine", windows, "bare", server, USER, wine_password, str(args.rounds)],
                "wine bare")
            results["wine library"] = run_program(
                ["wine", windows, "library", server, USER, wine_password, str(args.rounds)],
                "wine library")
        else:
            print("(no Windows build at %s or no wine: Wine figures skipped)" % windows)

    shutil.rmtree(workdir, ignore_errors=True)
    bare = results["bare (C++)"][0]
    print("%-24s %10s %12s %8s" % ("", "median s", "per message", "x bare"))
    for label, (median, count, _) in results.items():
        print("%-24s %10.4f %10.1fus %8.2f" % (label, median, 1e6 * median / max(count, 1),
                                               median / bare))
    lib = results["library"][0]
    print("library / bare dialogue:         %.2f (target <= 1.2)" % (lib / bare))
    print("poplib+parse / bare dialogue:    %.2f" % (results["poplib LIST+TOP+parse"][0] / bare))
    print("library / poplib+parse:          %.2f" % (lib / results["poplib LIST+TOP+parse"][0]))
    if "wine library" in results:
        print("wine library / native library:   %.2f (target <= 2)"
              % (results["wine library"][0] / lib))
        print("wine library / wine bare:        %.2f"
              % (results["wine library"][0] / results["wine bare"][0]))


if __name__ == "__main__":
    main()
