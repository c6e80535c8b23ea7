"""Drives build/brevorin against throwaway local servers, then makes a TLS
round trip (throwaway CA; Dovecot with ssl=required; SMTP with STARTTLS and
AUTH required)."""
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
import certs  # noqa: E402
from servers import Dovecot, SmtpSink  # noqa: E402

CLI = os.path.join(os.environ.get("BREVORIN_BUILD_DIR") or os.path.join(ROOT, "build"), "brevorin")
USER, PASSWORD = "demo", "demo-password"
SMTP_USER, SMTP_PASSWORD = "sender", "sender-password"


def show(title, args, stdin=None):
    # A password piped in is taken only when the command line says so.
    if stdin is not None:
        args = ["--password-stdin"] + args
    print("\n$ brevorin " + " ".join(shlex.quote(a) for a in args))
    proc = subprocess.run([CLI] + args, input=stdin, capture_output=True)
    # The tool writes in the terminal's character set already: its bytes go
    # through as they are, where decoding them here would garble every
    # letter past ASCII.
    sys.stdout.flush()
    sys.stdout.buffer.write(proc.stdout)
    if proc.returncode != 0:
        sys.stdout.buffer.write(proc.stderr)
        sys.stdout.flush()
        print("(exit %d)" % proc.returncode)
    sys.stdout.flush()
    return proc


def main():
    # A kill ends the demo as Ctrl-C does, so the servers stop and the
    # temporary directory goes either way.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    work = tempfile.mkdtemp(prefix="brevorin-demo-")
    try:
        demo(work)
    except KeyboardInterrupt:
        print("\ndemo interrupted; servers stopped")
        sys.exit(130)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def demo(work):
    attachment = os.path.join(work, "report.bin")
    with open(attachment, "wb") as f:
        f.write(os.urandom(100000))
    text = os.path.join(work, "text.txt")
    with open(text, "w") as f:
        f.write("Hello from brevorin.\n.A line that starts with a dot.\nBye.\n")
    with Dovecot({USER: PASSWORD}) as pop3, SmtpSink(deliver_to=(pop3, USER)) as smtp:
        print("POP3 server on %s, SMTP server on %s" % (pop3.server, smtp.server))
        pop3.add_message(USER, b"From: Alice <alice@example.org>\r\nTo: demo@example.org\r\n"
                               b"Subject: =?ISO-8859-1?Q?Gr=FC=DFe?=\r\nDate: Mon, 7 Dec 2026 10:00:00 +0000\r\n"
                               b"X-Priority: 1\r\n\r\nA plain message.\r\n")
        show("send", ["send", "--server", smtp.server, "--from", "bob@example.org",
                      "--to", "demo@example.org", "--subject", "Quartalsbericht März",
                      "--priority", "4", "--attach", attachment, "--text-file", text])
        logon = ["--server", pop3.server, "--user", USER]
        pw = (PASSWORD + "\n").encode()
        show("stat", ["stat"] + logon, pw)
        show("list", ["list"] + logon, pw)
        if pop3.imap_port:
            # The same maildir over IMAP: the same records. IMAP's LOGIN goes
            # without TLS only when asked to, as it does here on loopback.
            show("list over IMAP", ["list", "--server", "imap://%s@127.0.0.1:%d"
                                    % (USER, pop3.imap_port), "--allow-plaintext-auth"], pw)
        outdir = os.path.join(work, "attachments")
        os.makedirs(outdir)
        show("get", ["get", "2", "--dir", outdir] + logon, pw)
        for name in sorted(os.listdir(outdir)):
            same = open(os.path.join(outdir, name), "rb").read() == open(attachment, "rb").read()
            print("attachment %s: %s" % (name, "identical to what was sent" if same else "DIFFERENT"))
        show("raw", ["raw", "1"] + logon, pw)
        show("delete", ["delete", "1", "2"] + logon, pw)
        show("stat", ["stat"] + logon, pw)
    tls_round_trip(work)
    print("\ndemo finished; servers stopped")


def tls_round_trip(work):
    print("\n== The same over TLS: a throwaway CA, Dovecot with ssl=required (STLS and POP3S), "
          "SMTP with STARTTLS and AUTH required")
    pki = certs.Pki(work)
    cert = pki.server()
    text = os.path.join(work, "encrypted.txt")
    with open(text, "w") as f:
        f.write("This one travelled encrypted.\n")
    outdir = os.path.join(work, "tls-attachments")
    os.makedirs(outdir)
    with Dovecot({USER: PASSWORD}, tls=cert) as pop3, \
            SmtpSink(tls=cert, users={SMTP_USER: SMTP_PASSWORD}, deliver_to=(pop3, USER)) as smtp:
        print("POP3 on %s (STLS) and %s (POP3S), SMTP on %s, CA %s"
              % (pop3.server, pop3.tls_server, smtp.server, pki.ca_file))
        show("send", ["send", "--server", smtp.server, "--starttls", "--ca-file", pki.ca_file,
                      "--auth", "auto", "--smtp-user", SMTP_USER, "--from", "sender@example.org",
                      "--to", "demo@example.org", "--subject", "Sent over STARTTLS with AUTH",
                      "--attach", os.path.join(work, "report.bin"), "--text-file", text],
             (SMTP_PASSWORD + "\n").encode())
        for m in smtp.messages:
            print("the SMTP server got it over TLS: %s, after AUTH %s" % (m["tls"], smtp.logins))
        pw = (PASSWORD + "\n").encode()
        pop3s = ["--server", pop3.tls_server, "--user", USER, "--tls", "--ca-file", pki.ca_file,
                 "--auth", "plain"]
        stls = ["--server", pop3.server, "--user", USER, "--starttls", "--ca-file", pki.ca_file]
        show("list", ["list"] + pop3s, pw)
        if pop3.imaps_port:
            show("list over IMAPS", ["list", "--server", "imaps://%s@127.0.0.1:%d"
                                     % (USER, pop3.imaps_port), "--ca-file", pki.ca_file], pw)
        show("get", ["get", "1", "--dir", outdir] + stls, pw)
        for name in sorted(os.listdir(outdir)):
            same = open(os.path.join(outdir, name), "rb").read() == \
                open(os.path.join(work, "report.bin"), "rb").read()
            print("attachment %s: %s" % (name, "identical to what was sent" if same else "DIFFERENT"))
        show("delete", ["delete", "1"] + pop3s, pw)
        show("stat", ["stat"] + pop3s, pw)
        # Dovecot marks an encrypted session's login "TLS".
        logins = pop3.logins()
        print("\nthe POP3/IMAP server saw %d logons, %d of them over TLS"
              % (len(logins), sum(", TLS," in line for line in logins)))


if __name__ == "__main__":
    main()
