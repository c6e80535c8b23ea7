"""Retrieval benchmark: one message with a text part and a 20 MiB binary
attachment in a throwaway Dovecot, retrieved and decoded with the attachment
written to a file by

  - the library (bench/get_bench: logon, brevorin_getmail, logoff),
  - Python's poplib + email doing the same,
  - curl fetching the raw message (no decoding),
  - the Windows build of the library under Wine, when it is there.

Every run is a process of its own; the wall time of the whole process and its
peak resident memory are taken, ROUNDS times after a warm-up, and the medians
and ratios printed.

  /usr/bin/python3 bench/get_bench.py [--mib N] [--rounds R]
Build directories: BREVORIN_BUILD_DIR (default build) and
BREVORIN_WIN_BUILD_DIR (default build-win).
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from email.message import EmailMessage

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))

from servers import Dovecot  # noqa: E402

USER = "bench"
PASSWORD = "bench-pw"

PYTHON_CLIENT = r"""
import email, os, poplib, sys
port, user, password, out = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
pop = poplib.POP3("127.0.0.1", port)
pop.user(user)
pop.pass_(password)
_, lines, _ = pop.retr(1)
msg = email.message_from_bytes(b"\r\n".join(lines) + b"\r\n")
body = b""
for part in msg.walk():
    if part.is_multipart():
        continue
    name = part.get_filename()
    data = part.get_payload(decode=True)
    if name:
        with open(os.path.join(out, os.path.basename(name)), "wb") as f:
            f.write(data)
    elif part.get_content_type() == "text/plain":
        body += data
pop.quit()
"""


def message(mib):
    msg = EmailMessage()
    msg["From"] = "Sender <sender@example.org>"
    msg["To"] = "%s@example.org" % USER
    msg["Subject"] = "a large attachment"
    msg.set_content("The report is attached.\n" * 20)
    msg.add_attachment(os.urandom(mib * 1024 * 1024), maintype="application",
                       subtype="octet-stream", filename="report.bin")
    return msg.as_bytes(policy=msg.policy.clone(linesep="\r\n"))


def timed_with_rss(cmd, outdir, env=None):
    """Runs cmd in a fresh output directory: (seconds, peak RSS in KiB). The
    peak comes from /usr/bin/time, whose child does not inherit this
    process's memory high-water mark the way a direct fork would."""
    shutil.rmtree(outdir, ignore_errors=True)
    os.makedirs(outdir)
    start = time.perf_counter()
    proc = subprocess.run(["/usr/bin/time", "-f", "maxrss=%M"] + cmd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=env)
    elapsed = time.perf_counter() - start
    err = proc.stderr.decode("latin-1")
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(cmd), proc.returncode, err))
    # get_bench also reports the retrieval alone, without process start-up.
    inner = re.search(r"seconds=([0-9.]+)", proc.stdout.decode("latin-1"))
    return elapsed, int(re.findall(r"maxrss=(\d+)", err)[-1]), \
        float(inner.group(1)) if inner else None


def setup(prefix):
    """Arguments, the native and Windows get_bench programs, and a work
    directory with an output directory and the password file."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=20)
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()

    build = os.environ.get("BREVORIN_BUILD_DIR") or os.path.join(SOURCE, "build")
    win_build = os.environ.get("BREVORIN_WIN_BUILD_DIR") or os.path.join(SOURCE, "build-win")
    native = os.path.join(build, "bench", "get_bench")
    windows = os.path.join(win_build, "bench", "get_bench.exe")
    if not os.path.exists(native):
        sys.exit("build the get_bench target first: %s" % native)

    work = tempfile.mkdtemp(prefix=prefix)
    outdir = os.path.join(work, "out")
    password_file = os.path.join(work, "password")
    with open(password_file, "w") as f:
        f.write(PASSWORD + "\n")
    return args, native, windows, work, outdir, password_file


def rounds_of(cmd, outdir, env, rounds):
    """Runs cmd rounds times: the wall times, peak memories and retrieval
    times (where the program reports one)."""
    times, peaks, inner = [], [], []
    for _ in range(rounds):
        t, rss, retrieval = timed_with_rss(cmd, outdir, env)
        times.append(t)
        peaks.append(rss)
        if retrieval is not None:
            inner.append(retrieval)
    return times, peaks, inner


def finish(runs, env, work, results):
    """Stops Wine's server, removes the work directory and prints the
    table; the library's median time and peak memory."""
    if "wine library" in runs:
        # The prefix's server would otherwise linger after the last run.
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    shutil.rmtree(work, ignore_errors=True)
    print("%-18s %10s %14s %14s" % ("", "median s", "peak RSS MiB", "retrieval s"))
    for label, (median, rss, inner) in results.items():
        print("%-18s %10.3f %14.1f %14s" % (label, median, rss / 1024,
                                            "%.3f" % inner if inner is not None else "-"))
    lib, lib_rss, _ = results["library"]
    return lib, lib_rss


def main():
    args, native, windows, work, outdir, password_file = setup("brevorin-get-bench-")
    data = message(args.mib)

    with Dovecot({USER: PASSWORD}) as dovecot:
        dovecot.add_message(USER, data)
        server, port = dovecot.server, dovecot.port
        print("message of %.1f MiB (%d MiB attachment) in Dovecot on %s, %d rounds each"
              % (len(data) / 2**20, args.mib, server, args.rounds))
        runs = {
            "library": [native, server, USER, password_file, outdir],
            "poplib + email": ["/usr/bin/python3", "-c", PYTHON_CLIENT, str(port), USER,
                               PASSWORD, outdir],
            "curl raw fetch": ["curl", "-s", "--user", "%s:%s" % (USER, PASSWORD),
                               "pop3://127.0.0.1:%d/1" % port, "-o",
                               os.path.join(outdir, "raw.eml")],
        }
        env = dict(os.environ)
        if shutil.which("wine") and os.path.exists(windows):
            sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))
            import wine
            env = dict(os.environ, WINEPREFIX=wine.wine_prefix(), WINEDEBUG="-all",
                       WINEDLLOVERRIDES="mscoree,mshtml=")
            runs["wine library"] = ["wine", windows, server, USER,
                                    wine.to_windows_path(password_file),
                                    wine.to_windows_path(outdir)]
        else:
            print("(no Windows build at %s or no wine: Wine figures skipped)" % windows)

        # Warm-up (Dovecot's index, page cache), and a check of the result.
        timed_with_rss(runs["library"], outdir, env)
        with open(os.path.join(outdir, "report.bin"), "rb") as f:
            written = f.read()
        expected = [p for p in __import__("email").message_from_bytes(data).walk()
                    if p.get_filename()][0].get_payload(decode=True)
        if written != expected:
            sys.exit("the library wrote a different attachment")

        results = {}
        for label, cmd in runs.items():
            times, peaks, inner = rounds_of(cmd, outdir, env, args.rounds)
            results[label] = (statistics.median(times), max(peaks),
                              statistics.median(inner) if inner else None)

    lib, lib_rss = finish(runs, env, work, results)
    print("poplib+email / library:  %.2f (target >= 3)" % (results["poplib + email"][0] / lib))
    print("library / curl raw:      %.2f (target <= 1.5)" % (lib / results["curl raw fetch"][0]))
    print("library peak memory:     %.1f MiB (target < 32)" % (lib_rss / 1024))
    if "wine library" in results:
        print("wine library:            %.3f s (target < 2), of which the retrieval %.3f s"
              % (results["wine library"][0], results["wine library"][2]))


if __name__ == "__main__":
    main()
