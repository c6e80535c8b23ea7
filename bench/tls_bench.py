"""Retrieval over POP3S: one message with a 20 MiB attachment in a throwaway
Dovecot that requires TLS (certificate from a throwaway CA), retrieved by

  - the library (bench/get_bench with security=tls: logon, brevorin_getmail
    decoding the attachment into a file, logoff),
  - curl fetching the raw message over pop3s (no decoding),
  - Python's poplib.POP3_SSL + email decoding the attachment into a file,
  - the Windows build of the library under Wine (SChannel), when it is there.

Each run is a process of its own; wall time and peak RSS are taken ROUNDS
times after a warm-up and the medians printed, with the targets.

  /usr/bin/python3 bench/tls_bench.py [--mib N] [--rounds R]
Build directories: BREVORIN_BUILD_DIR (default build; needs the get_bench
target) and BREVORIN_WIN_BUILD_DIR (default build-win).
"""
import email
import os
import shutil
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))
sys.path.insert(0, HERE)

import certs  # noqa: E402
from get_bench import USER, PASSWORD, finish, message, rounds_of, setup, timed_with_rss  # noqa: E402
from servers import Dovecot  # noqa: E402

PYTHON_CLIENT = r"""
import email, os, poplib, ssl, sys
port, user, password, out, ca = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
pop = poplib.POP3_SSL("127.0.0.1", port, context=ssl.create_default_context(cafile=ca))
pop.user(user)
pop.pass_(password)
_, lines, _ = pop.retr(1)
msg = email.message_from_bytes(b"\r\n".join(lines) + b"\r\n")
for part in msg.walk():
    name = part.get_filename()
    if name and not part.is_multipart():
        with open(os.path.join(out, os.path.basename(name)), "wb") as f:
            f.write(part.get_payload(decode=True))
pop.quit()
"""


def main():
    args, native, windows, work, outdir, password_file = setup("brevorin-tls-bench-")
    pki = certs.Pki(work)
    data = message(args.mib)
    expected = [p for p in email.message_from_bytes(data).walk()
                if p.get_filename()][0].get_payload(decode=True)

    with Dovecot({USER: PASSWORD}, tls=pki.server()) as dovecot:
        dovecot.add_message(USER, data)
        port = dovecot.tls_port
        print("message of %.1f MiB (%d MiB attachment) in Dovecot, POP3S on 127.0.0.1:%d, "
              "%d rounds each" % (len(data) / 2**20, args.mib, port, args.rounds))
        runs = {
            "library": [native, dovecot.tls_server, USER, password_file, outdir,
                        "security=tls", "ca_file=" + pki.ca_file],
            "curl pop3s (raw)": ["curl", "-s", "--cacert", pki.ca_file, "--user",
                                 "%s:%s" % (USER, PASSWORD), "pop3s://127.0.0.1:%d/1" % port,
                                 "-o", os.path.join(outdir, "raw.eml")],
            "POP3_SSL + email": ["/usr/bin/python3", "-c", PYTHON_CLIENT, str(port), USER,
                                 PASSWORD, outdir, pki.ca_file],
        }
        env = dict(os.environ)
        if shutil.which("wine") and os.path.exists(windows):
            import wine
            env = wine.WineRunner(os.path.dirname(os.path.dirname(windows))).env()
            runs["wine library"] = ["wine", windows, "localhost+%d" % port, USER,
                                    wine.to_windows_path(password_file),
                                    wine.to_windows_path(outdir), "security=tls",
                                    "ca_file=" + wine.to_windows_path(pki.ca_file)]
        else:
            print("(no Windows build at %s or no wine: Wine figures skipped)" % windows)

        results = {}
        for label, cmd in runs.items():
            # Warm-up (Dovecot's index, page cache), and a check of what the
            # decoding clients wrote.
            timed_with_rss(cmd, outdir, env)
            if "curl" not in label:
                with open(os.path.join(outdir, "report.bin"), "rb") as f:
                    if f.read() != expected:
                        sys.exit("%s wrote a different attachment" % label)
            times, peaks, inner = rounds_of(cmd, outdir, env, args.rounds)
            results[label] = (statistics.median(times), statistics.median(peaks),
                              statistics.median(inner) if inner else None)
        logins = dovecot.logins()
        if not logins or not all(", TLS," in l for l in logins):
            sys.exit("a session was not encrypted: %s" % logins)

    lib, lib_rss = finish(runs, env, work, results)
    print("library / curl:          %.2f (target <= 1.2)" % (lib / results["curl pop3s (raw)"][0]))
    print("POP3_SSL+email / library: %.2f" % (results["POP3_SSL + email"][0] / lib))
    print("library peak memory:     %.1f MiB (target < 32)" % (lib_rss / 1024))
    if "wine library" in results:
        print("wine library:            %.3f s (target < 3), peak memory %.1f MiB"
              % (results["wine library"][0], results["wine library"][1] / 1024))


if __name__ == "__main__":
    main()
