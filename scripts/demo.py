"""Drives build/brevorin against throwaway local servers, then makes a TLS
round trip (throwaway CA; Dovecot with ssl=required; SMTP with STARTTLS and
AUTH required)."""
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "integration"))
import brevorin_ffi  # noqa: E402
import certs  # noqa: E402
from servers import Dovecot, SmtpSink  # noqa: E402

CLI = os.path.join(ROOT, "build", "brevorin")
USER, PASSWORD = "demo", "demo-password"
SMTP_USER, SMTP_PASSWORD = "sender", "sender-password"


def show(title, args, stdin=None):
    print("\n$ brevorin " + " ".join(args))
    proc = subprocess.run([CLI] + args, input=stdin, capture_output=True)
    sys.stdout.write(proc.stdout.decode("latin-1"))
    if proc.returncode != 0:
        sys.stdout.write(proc.stderr.decode("latin-1"))
        print("(exit %d)" % proc.returncode)
    return proc


def main():
    work = tempfile.mkdtemp(prefix="brevorin-demo-")
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
                      "--to", "demo@example.org", "--subject", "Quarterly report",
                      "--priority", "4", "--attach", attachment, "--text-file", text])
        logon = ["--server", pop3.server, "--user", USER]
        pw = (PASSWORD + "\n").encode()
        show("stat", ["stat"] + logon, pw)
        show("list", ["list"] + logon, pw)
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
    # NOTE: the command-line tool in this tree has no TLS or AUTH flags yet
    # (--tls, --starttls, --ca-file, --auth, --smtp-user are on the cli
    # branch). Until that is merged, this part drives the library through
    # its ctypes binding; afterwards it should run the tool like the part
    # above.
    print("\n== TLS round trip (through the library's ctypes binding)")
    pki = certs.Pki(work)
    cert = pki.server()
    with Dovecot({USER: PASSWORD}, tls=cert) as pop3, \
            SmtpSink(tls=cert, users={SMTP_USER: SMTP_PASSWORD}, deliver_to=(pop3, USER)) as smtp:
        print("POP3 with TLS required on %s (STLS) and %s (POP3S); SMTP with STARTTLS and AUTH "
              "required on %s; CA %s" % (pop3.server, pop3.tls_server, smtp.server, pki.ca_file))
        host = brevorin_ffi.Host(trace=0)
        try:
            s = host.session()
            s.setoptions({"security": "starttls", "ca_file": pki.ca_file, "auth": "auto",
                          "smtp_user": SMTP_USER, "smtp_password": SMTP_PASSWORD})
            headers = brevorin_ffi.header_list(to="demo@example.org", from_="sender@example.org",
                                               subject="Sent over STARTTLS with AUTH")
            print("send (STARTTLS, AUTH auto): %d; the server saw TLS: %s, logins: %s"
                  % (s.send(smtp.server, headers, "This one travelled encrypted.", ""),
                     smtp.messages[-1]["tls"] if smtp.messages else "-", smtp.logins))
            s.cleanup()
            s = host.session()
            s.setoptions({"security": "tls", "ca_file": pki.ca_file, "auth": "plain"})
            print("logon (POP3S, AUTH PLAIN): %d" % s.logon(pop3.tls_server, USER, PASSWORD))
            status, listing = s.list()
            for record in brevorin_ffi.list_records(listing):
                print("  %s  %s" % (record["NMB"].decode(), record["SUBJECT"].decode("latin-1")))
            status, header, body, files = s.get(1)
            print("get 1: %d, body: %r" % (status, body.decode("latin-1").strip()))
            print("delete 1: %d, logoff: %d" % (s.delete(1), s.logoff()))
            s.cleanup()
        finally:
            host.close()
        for line in pop3.logins():
            print("dovecot: " + line.split(": ", 1)[-1])


if __name__ == "__main__":
    main()
