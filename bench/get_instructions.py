"""Instructions the library spends in brevorin_getmail on the 20 MiB
attachment message of get_bench.py, counted by callgrind for each build
given, against one throwaway Dovecot: counts repeat exactly whatever else the
machine is doing, where wall clock on two busy cores does not.

  /usr/bin/python3 bench/get_instructions.py BUILD_DIR [BUILD_DIR...] [--mib N]
      [--option NAME=VALUE]...   (session options, e.g. mime=modern)

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
from servers import Dovecot  # noqa: E402


def instructions(get_bench, server, password_file, outdir, options):
    for name in os.listdir(outdir):
        os.unlink(os.path.join(outdir, name))
    out = tempfile.mktemp(prefix="callgrind-")
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                    "--toggle-collect=brevorin_getmail", get_bench, server, USER, password_file,
                    outdir] + options, check=True, capture_output=True)
    with open(out) as f:
        total = int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))
    os.unlink(out)
    return total


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("builds", nargs="+")
    ap.add_argument("--mib", type=int, default=20)
    ap.add_argument("--option", action="append", default=[])
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="brevorin-instr-")
    outdir = os.path.join(work, "out")
    os.makedirs(outdir)
    password_file = os.path.join(work, "password")
    with open(password_file, "w") as f:
        f.write(PASSWORD + "\n")
    dovecot = Dovecot({USER: PASSWORD}).start()
    try:
        dovecot.add_message(USER, message(args.mib))
        counts = [instructions(os.path.join(b, "bench", "get_bench"), dovecot.server,
                               password_file, outdir, args.option) for b in args.builds]
    finally:
        dovecot.stop()
    size = args.mib * 1024 * 1024
    for build, count in zip(args.builds, counts):
        print("%-40s %14d instructions  %6.2f per attachment byte  %.3f of the first"
              % (build, count, count / size, count / counts[0]))


if __name__ == "__main__":
    main()
