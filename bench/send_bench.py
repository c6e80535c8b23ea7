"""Sending benchmark: one message with a 20 MiB attachment to a fast local
SMTP sink, sent by

  - the library (bench/send_bench): parsing, base64 into a temporary file,
    the dialogue and the transmission,
  - Python's email package building the MIME message and smtplib sending it,
  - curl building the MIME message itself (-F),
  - curl uploading an equivalent message built beforehand (-T),
  - the Windows build of bench/send_bench under Wine, when it is there.

Every contender runs as its own process, ROUNDS times after a warm-up; the
medians of the wall-clock times, the peak resident sizes and the ratios to
the library are printed. The sink checks that every message arrived whole.

  /usr/bin/python3 bench/send_bench.py [--mebibytes N] [--rounds R]
Build directories: BREVORIN_BUILD_DIR (default build) and
BREVORIN_WIN_BUILD_DIR (default build-win).
"""
import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))

import wine  # noqa: E402

SENDER = "bench@example.org"
RECIPIENT = "sink@example.org"
TEXT = "The attachment of this message is the benchmark's payload.\r\n"

PYTHON_PEER = r"""
import smtplib, sys
from email.message import EmailMessage
host, port, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
msg = EmailMessage()
msg["From"] = "bench@example.org"
msg["To"] = "sink@example.org"
msg["Subject"] = "send benchmark"
msg.set_content("The attachment of this message is the benchmark's payload.\n")
with open(path, "rb") as f:
    msg.add_attachment(f.read(), maintype="application", subtype="octet-stream",
                       filename="payload.bin")
with smtplib.SMTP(host, port) as s:
    s.send_message(msg)
"""


# --- the sink ---------------------------------------------------------------

def serve_client(conn, sizes):
    with conn:
        f = conn.makefile("rb", buffering=1 << 20)
        conn.sendall(b"220 sink ready\r\n")
        while True:
            line = f.readline()
            if not line:
                return
            verb = line[:4].upper()
            if verb == b"DATA":
                conn.sendall(b"354 go ahead\r\n")
                size, tail = 0, b""
                while True:
                    chunk = f.read1(1 << 20)
                    if not chunk:
                        return
                    size += len(chunk)
                    tail = (tail + chunk)[-5:]
                    if tail == b"\r\n.\r\n":
                        break
                sizes.append(size)
                print("message %d" % size, flush=True)
                conn.sendall(b"250 accepted\r\n")
            elif verb == b"QUIT":
                conn.sendall(b"221 bye\r\n")
                return
            else:
                conn.sendall(b"250 ok\r\n")


def run_sink(port):
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(16)
    print("ready", flush=True)
    sizes = []
    while True:
        conn, _ = srv.accept()
        threading.Thread(target=serve_client, args=(conn, sizes), daemon=True).start()


class Sink:
    def __init__(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.proc = subprocess.Popen([sys.executable, __file__, "--sink", str(self.port)],
                                     stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "ready"
        self.sizes = []
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        for line in self.proc.stdout:
            if line.startswith("message "):
                self.sizes.append(int(line.split()[1]))

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


# --- the contenders ----------------------------------------------------------

def timed(cmd, env=None):
    """Wall-clock seconds and peak resident KiB of one process."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as t:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", t.name] + cmd, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
        if proc.returncode != 0:
            raise RuntimeError("%s failed: %s" % (cmd[0], proc.stderr.decode(errors="replace")))
        lines = [l for l in t.read().split("\n") if l.strip().isdigit()]
        return seconds, int(lines[-1]) if lines else -1, proc.stdout.decode(errors="replace")


def prebuilt_message(path, out):
    from email.message import EmailMessage
    msg = EmailMessage()
    msg["From"] = SENDER
    msg["To"] = RECIPIENT
    msg["Subject"] = "send benchmark"
    msg.set_content(TEXT)
    with open(path, "rb") as f:
        msg.add_attachment(f.read(), maintype="application", subtype="octet-stream",
                           filename="payload.bin")
    with open(out, "wb") as f:
        f.write(msg.as_bytes(policy=msg.policy.clone(linesep="\r\n")))


def measure(name, cmd, rounds, sink, expect_size, env=None):
    before = len(sink.sizes)
    timed(cmd, env)  # warm-up
    results = [timed(cmd, env) for _ in range(rounds)]
    deadline = time.time() + 10
    while len(sink.sizes) < before + rounds + 1 and time.time() < deadline:
        time.sleep(0.05)
    got = sink.sizes[before:]
    if len(got) != rounds + 1 or min(got) < expect_size:
        raise RuntimeError("%s: the sink got %r, expected %d messages of at least %d bytes"
                           % (name, got, rounds + 1, expect_size))
    seconds = statistics.median(r[0] for r in results)
    rss = max(r[1] for r in results)
    return {"name": name, "seconds": seconds, "rss_kib": rss, "out": results[-1][2]}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mebibytes", type=float, default=20)
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--sink", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.sink:
        run_sink(args.sink)
        return

    build = os.environ.get("BREVORIN_BUILD_DIR") or os.path.join(SOURCE, "build")
    bench_exe = os.path.join(build, "bench", "send_bench")
    if not os.path.exists(bench_exe):
        sys.exit("build the send_bench target first (%s)" % bench_exe)

    size = int(args.mebibytes * 1024 * 1024)
    encoded = size * 4 // 3
    work = tempfile.mkdtemp(prefix="brevorin-send-bench-")
    own_prefix = "BREVORIN_WINEPREFIX" not in os.environ
    if own_prefix:  # a private Wine prefix, removed with the work directory
        os.environ["BREVORIN_WINEPREFIX"] = os.path.join(work, "wine")
    sink = Sink()
    try:
        payload = os.path.join(work, "payload.bin")
        with open(payload, "wb") as f:
            f.write(os.urandom(size))
        eml = os.path.join(work, "message.eml")
        prebuilt_message(payload, eml)
        server = "127.0.0.1+%d" % sink.port
        url = "smtp://127.0.0.1:%d" % sink.port
        curl = ["curl", "-sS", url, "--mail-from", SENDER, "--mail-rcpt", RECIPIENT]
        runs = [
            measure("library", [bench_exe, server, payload, "1"], args.rounds, sink, encoded),
            measure("python smtplib+email", [sys.executable, "-c", PYTHON_PEER, "127.0.0.1",
                                             str(sink.port), payload], args.rounds, sink, encoded),
            measure("curl -F (builds MIME)",
                    curl + ["-H", "Subject: send benchmark", "-F", "=" + TEXT.strip() +
                            ";type=text/plain", "-F", "=@%s;encoder=base64" % payload],
                    args.rounds, sink, encoded),
            measure("curl -T (prebuilt)", curl + ["-T", eml], args.rounds, sink, encoded),
        ]
        runner = wine.WineRunner.from_environment()
        win_exe = os.path.join(wine.win_build_dir(), "bench", "send_bench.exe")
        if runner is not None and os.path.exists(win_exe):
            run = measure("windows build under wine",
                          ["wine", win_exe, server, wine.to_windows_path(payload), "1"],
                          args.rounds, sink, encoded, env=runner.env())
            inner = [float(l.split("=")[1]) for l in run["out"].split() if l.startswith("median=")]
            run["inner"] = inner[0] if inner else None
            runs.append(run)
    finally:
        sink.stop()
        if own_prefix and os.path.isdir(os.path.join(work, "wine")):
            subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=os.path.join(
                work, "wine")), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(work, ignore_errors=True)

    lib = runs[0]["seconds"]
    print("message: %.1f MiB attachment, %d rounds, median wall-clock per process"
          % (args.mebibytes, args.rounds))
    for r in runs:
        extra = ""
        if r.get("inner") is not None:
            extra = "  (sendmail call alone %.3f s)" % r["inner"]
        print("  %-28s %7.3f s  peak %7.1f MiB  %5.2fx the library's time%s"
              % (r["name"], r["seconds"], r["rss_kib"] / 1024.0, r["seconds"] / lib, extra))
    builders = [r["seconds"] for r in runs[1:3]]
    print("fastest MIME-building peer / library: %.2f (target >= 2)" % (min(builders) / lib))
    print("library peak memory: %.1f MiB (target < 32)" % (runs[0]["rss_kib"] / 1024.0))


if __name__ == "__main__":
    main()
