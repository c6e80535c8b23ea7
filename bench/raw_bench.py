"""Raw retrieval memory: one message of text lines (long ones and lines
starting with a dot among them) in a throwaway Dovecot, fetched whole by

  - the library (bench/raw_bench: logon, brevorin_getrawmail, logoff), over
    POP3 and over IMAP, each run a process of its own;
  - the tool's `raw`, over both, its output thrown away.

Printed per run: the retrieval's time and the process's peak resident memory
before and after it (ru_maxrss), and how far the retrieval raised the peak
in units of the message's size. One copy of the message is the result the
host receives, so 1.0 is the floor.

  /usr/bin/python3 bench/raw_bench.py [--mib N]
Build directory: BREVORIN_BUILD_DIR (default build).

Figures on the development VM (20 MiB message, loopback Dovecot), before
the message was built in the block handed out and raw streamed, and after:

                   before                  after
  library POP3     peak +40.2 MiB (2.01x)  +20.0 MiB (1.00x)
  library IMAP     peak +40.0 MiB (2.00x)  +19.9 MiB (0.99x)
  tool raw POP3    peak 47.0 MiB           7.3 MiB
  tool raw IMAP    peak 47.3 MiB           7.3 MiB
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))

from servers import Dovecot  # noqa: E402

USER = "bench"
PASSWORD = "bench-pw"


def message(mib):
    head = ("From: Sender <sender@example.org>\r\nTo: %s@example.org\r\n"
            "Subject: a large raw message\r\n\r\n" % USER).encode()
    line = b"." + b"x" * 2000 + b"\r\n" + b"short line\r\n"
    body = line * (mib * 1024 * 1024 // len(line))
    return head + body


def peak_of_tool(cmd):
    """The tool's peak resident memory in KiB, as /usr/bin/time saw it."""
    with open(os.devnull, "wb") as sink:
        rc = subprocess.run(["/usr/bin/time", "-f", "maxrss=%M"] + cmd, stdout=sink,
                            stderr=subprocess.PIPE)
    err = rc.stderr.decode("latin-1")
    if rc.returncode != 0:
        raise RuntimeError("%s failed: %s" % (cmd, err))
    return int(re.findall(r"maxrss=(\d+)", err)[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=20)
    args = ap.parse_args()
    build = os.environ.get("BREVORIN_BUILD_DIR") or os.path.join(SOURCE, "build")
    native = os.path.join(build, "bench", "raw_bench")
    tool = os.path.join(build, "brevorin")
    if not os.path.exists(native):
        sys.exit("build the raw_bench target first: %s" % native)
    data = message(args.mib)
    work = tempfile.mkdtemp(prefix="brevorin-raw-bench-")
    password_file = os.path.join(work, "password")
    with open(password_file, "w") as f:
        f.write(PASSWORD + "\n")

    with Dovecot({USER: PASSWORD}) as dovecot:
        dovecot.add_message(USER, data)
        print("message of %.1f MiB in Dovecot" % (len(data) / 2**20))
        servers = {"POP3": (dovecot.server, []),
                   "IMAP": (dovecot.imap_server, ["protocol=imap", "allow_plaintext_auth=yes"])}
        for name, (server, options) in servers.items():
            # Through /usr/bin/time: a child forked from here directly would
            # start with this process's peak as its own.
            out = subprocess.run(["/usr/bin/time", "-f", "", native, server, USER,
                                  password_file] + options,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 check=True).stdout.decode()
            fields = dict(item.split("=") for item in out.split())
            if int(fields["bytes"]) != len(data):
                sys.exit("%s: %s bytes instead of %d" % (name, fields["bytes"], len(data)))
            grown = (int(fields["peak_kib"]) - int(fields["before_kib"])) * 1024
            print("library %s  %.3f s  peak +%.1f MiB (%.2fx the message)"
                  % (name, float(fields["seconds"]), grown / 2**20, grown / len(data)))
        if os.path.exists(tool):
            for name, (server, options) in servers.items():
                protocol = (["--protocol", "imap", "--allow-plaintext-auth"] if options
                            else [])
                peak = peak_of_tool([tool, "raw", "1", "--server", server, "--user", USER,
                                     "--password-file", password_file] + protocol)
                print("tool raw %s  peak %.1f MiB" % (name, peak / 1024))


if __name__ == "__main__":
    main()
