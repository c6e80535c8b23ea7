"""Instructions the library spends on a 20 MiB attachment, counted by
callgrind for each build given: in brevorin_getmail retrieving the message of
get_bench.py from one throwaway Dovecot (get), or in brevorin_sendmail
sending it as a file to one throwaway SMTP server (send). Counts repeat
exactly whatever else the machine is doing, where wall clock on two busy
cores does not.

  /usr/bin/python3 bench/instructions.py get|send BUILD_DIR [BUILD_DIR...] [--mib N]
      [--option NAME=VALUE]...   (get: session options, e.g. mime=modern)
      [--imap]                   (get: over IMAP instead of POP3)

Prints the count per build, per attachment byte, and each build's ratio to
the first.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "integration"))

from get_bench import PASSWORD, USER, message  # noqa: E402
from servers import Dovecot, SmtpSink  # noqa: E402


def instructions(function, cmd):
    out = tempfile.mktemp(prefix="callgrind-")
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                    "--toggle-collect=" + function] + cmd, check=True, capture_output=True)
    with open(out) as f:
        total = int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))
    os.unlink(out)
    return total


def retrievals(args, work):
    outdir = os.path.join(work, "out")
    os.makedirs(outdir)
    password_file = os.path.join(work, "password")
    with open(password_file, "w") as f:
        f.write(PASSWORD + "\n")
    dovecot = Dovecot({USER: PASSWORD}).start()
    counts = []
    try:
        dovecot.add_message(USER, message(args.mib))
        for build in args.builds:
            for name in os.listdir(outdir):
                os.unlink(os.path.join(outdir, name))
            server = dovecot.imap_server if args.imap else dovecot.server
            # Dovecot's IMAP takes LOGIN over loopback without TLS; the
            # library refuses to send it unless told.
            options = ["protocol=imap", "allow_plaintext_auth=yes"] if args.imap else []
            counts.append(instructions("brevorin_getmail", [
                os.path.join(build, "bench", "get_bench"), server, USER, password_file,
                outdir] + options + args.option))
    finally:
        dovecot.stop()
    return counts


def sends(args, work):
    attachment = os.path.join(work, "report.bin")
    with open(attachment, "wb") as f:
        f.write(os.urandom(args.mib * 1024 * 1024))
    sink = SmtpSink().start()
    try:
        return [instructions("brevorin_sendmail", [
            os.path.join(build, "bench", "send_bench"), sink.server, attachment, "1"])
            for build in args.builds]
    finally:
        sink.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("mode", choices=["get", "send"])
    ap.add_argument("builds", nargs="+")
    ap.add_argument("--mib", type=int, default=20)
    ap.add_argument("--option", action="append", default=[])
    ap.add_argument("--imap", action="store_true")
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="brevorin-instr-")
    counts = (retrievals if args.mode == "get" else sends)(args, work)
    size = args.mib * 1024 * 1024
    for build, count in zip(args.builds, counts):
        print("%-40s %14d instructions  %6.2f per attachment byte  %.3f of the first"
              % (build, count, count / size, count / counts[0]))


if __name__ == "__main__":
    main()
