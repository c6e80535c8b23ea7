"""TLS and authentication end to end, natively through ctypes and as the
Windows DLL under Wine: POP3S and STLS against a Dovecot that requires TLS,
SMTP with STARTTLS or TLS from the first byte and AUTH required (aiosmtpd),
and scripted peers for what a real server will not do: bad certificates,
no STLS/STARTTLS, plaintext injected before the handshake, silence, and the
exact bytes of the AUTH exchanges."""
import base64
import email
import email.message
import email.policy
import os
import socket
import ssl
import tempfile
import threading
import time

import pytest

import brevorin_ffi
import certs
import wine
from brevorin_ffi import header_list
from servers import Dovecot, SmtpSink, server_tls_context

# aiosmtpd counts only STARTTLS as TLS for AUTH; with TLS from the first
# byte its warning is moot.
pytestmark = pytest.mark.filterwarnings("ignore:Requiring AUTH while not requiring TLS")

USER = "alice"
PASSWORD = "tls-s3cret!"
TOKEN = "ya29.token-for-alice"
SMTP_USER = "carol"
SMTP_PASSWORD = "smtp-pw-42"
ATTACHMENT = bytes(range(256)) * 200 + b"\r\n.\r\n"


# ---------------------------------------------------------------- clients

class Native:
    """The shared library through ctypes; steps run in one session."""
    host = "127.0.0.1"

    def __init__(self, lib):
        self.lib = lib

    def path(self, p):
        return p

    def run(self, options, *steps):
        """Sets options, runs steps ((op, args...)): [(op, status, texts,
        seconds)] and the diagnostics lines as one text."""
        h = brevorin_ffi.Host(lib=self.lib)
        results = []
        try:
            s = h.session()
            for name, value in options.items():
                results.append(("option", s.setoption(name, value), [], 0.0))
            for op, *args in steps:
                start = time.monotonic()
                texts = []
                if op == "logon":
                    status = s.logon(*args)
                elif op == "list":
                    status, text = s.list()
                    texts = [text]
                elif op == "raw":
                    status, text = s.raw(args[0])
                    texts = [text]
                elif op == "get":
                    status, *texts = s.get(args[0], args[1])
                elif op == "delete":
                    status = s.delete(args[0])
                elif op == "logoff":
                    status = s.logoff()
                elif op == "send":
                    status = s.send(*args)
                results.append((op, status, texts, time.monotonic() - start))
            s.cleanup()
        finally:
            h.close()
        return results, "".join(h.lines)


class Wine:
    """The DLL through wine_driver.exe; steps run in one process."""
    # Wine's SChannel matches DNS names only.
    host = "localhost"

    def __init__(self, runner, directory):
        self.runner = runner
        self.directory = directory

    def path(self, p):
        return wine.to_windows_path(p)

    def _file(self, data):
        fd, path = tempfile.mkstemp(dir=self.directory)
        os.close(fd)
        return self.runner.write_file(self.directory, os.path.basename(path), data)

    def run(self, options, *steps):
        args = []
        for name, value in options.items():
            args += ["option", name, value, "+"]
        for op, *rest in steps:
            if op == "logon":
                args += ["logon", rest[0], rest[1], self._file(rest[2])]
            elif op == "raw":
                args += ["raw", rest[0], 0]
            elif op == "get":
                args += ["get", rest[0], self.path(rest[1]), 0]
            elif op == "send":
                server, headers, text, attachments = rest
                args += ["send", server, self._file(headers), self._file(text),
                         self._file(attachments), 0]
            else:
                args += [op] + rest
            args.append("+")
        results, err = self.runner.run(*args[:-1])
        # Leave out attach, init and cleanup.
        return [(r.name, r.status, r.texts, r.seconds) for r in results[2:-1]], err


@pytest.fixture(params=["native", "wine"])
def client(request, tmp_path):
    if request.param == "native":
        return Native(request.getfixturevalue("lib"))
    return Wine(request.getfixturevalue("wine_build"), str(tmp_path))


def statuses(results):
    return [(op, status) for op, status, _, _ in results]


def server(client, port):
    return "%s+%d" % (client.host, port)


# ---------------------------------------------------------------- certificates and servers

@pytest.fixture(scope="module")
def pki():
    with tempfile.TemporaryDirectory(prefix="brevorin-pki-") as d:
        p = certs.Pki(d)
        p.good = p.server("good")
        p.expired_cert = p.expired("expired")
        p.other_name = p.server("other", names=["mail.other.example"])
        # A CA file that holds only another CA: our server is untrusted.
        p.stranger_ca = certs.write(os.path.join(d, "stranger.pem"), certs.pem(certs.make_ca()[1]))
        yield p


@pytest.fixture(scope="module")
def tls_dovecot(pki):
    server = Dovecot({USER: PASSWORD}, tls=pki.good).start()
    yield server
    server.stop()


@pytest.fixture
def smtp(pki):
    sinks = {"starttls": SmtpSink(tls=pki.good, users={SMTP_USER: SMTP_PASSWORD},
                                  tokens={SMTP_USER: TOKEN}).start(),
             "tls": SmtpSink(tls=pki.good, implicit_tls=True, users={SMTP_USER: SMTP_PASSWORD},
                             tokens={SMTP_USER: TOKEN}).start()}
    yield sinks
    for sink in sinks.values():
        sink.stop()


def tls_options(pki, client, security, **more):
    options = {"security": security, "ca_file": client.path(pki.ca_file)}
    options.update(more)
    return options


def secrets_absent(text, *secrets):
    """No secret, nor its base64 form, in text."""
    for secret in secrets:
        assert secret not in text
        assert base64.b64encode(secret.encode()).decode() not in text


# ---------------------------------------------------------------- POP3 against Dovecot

def pop3_message(n, attachment=False):
    msg = email.message.EmailMessage()
    msg["From"] = "sender%d@example.org" % n
    msg["To"] = "%s@example.org" % USER
    msg["Subject"] = "secure message %d" % n
    msg.set_content("body %d\n" % n)
    if attachment:
        msg.add_attachment(ATTACHMENT, maintype="application", subtype="octet-stream",
                           filename="data.bin")
    return msg.as_bytes(policy=email.policy.SMTP)


def wait_for_login(dovecot, before):
    deadline = time.time() + 5
    while time.time() < deadline:
        lines = dovecot.logins()
        if len(lines) > before:
            return lines[before:]
        time.sleep(0.05)
    return []


# The classic USER/PASS logon pauses three seconds after PASS; one case each
# way is enough for it.
@pytest.mark.parametrize("security,auth", [("tls", "plain"), ("starttls", "plain"),
                                           ("tls", "user"), ("starttls", "user")])
def test_pop3_over_tls_logon_list_get_delete(tls_dovecot, pki, client, tmp_path, security, auth):
    dovecot = tls_dovecot
    dovecot.clear(USER)
    dovecot.add_message(USER, pop3_message(1))
    dovecot.add_message(USER, pop3_message(2, attachment=True))
    port = dovecot.tls_port if security == "tls" else dovecot.port
    outdir = tmp_path / "out"
    outdir.mkdir()
    before = len(dovecot.logins())
    results, diag = client.run(
        tls_options(pki, client, security, auth=auth),
        ("logon", server(client, port), USER, PASSWORD), ("list",), ("raw", 1),
        ("get", 2, str(outdir)), ("delete", 1), ("logoff",))
    assert statuses(results) == [("option", 0)] * 3 + [
        ("logon", 0), ("list", 2), ("raw", 0), ("get", 0), ("delete", 0), ("logoff", 0)], diag
    listing = brevorin_ffi.list_records(results[4][2][0])
    assert [r["SUBJECT"] for r in listing] == [b"secure message 1", b"secure message 2"]
    assert b"body 1" in results[5][2][0]
    assert (outdir / "data.bin").read_bytes() == ATTACHMENT
    files = dovecot.message_files(USER)
    assert len(files) == 1 and b"secure message 2" in open(files[0], "rb").read()
    logins = wait_for_login(dovecot, before)
    assert len(logins) == 1 and "user=<%s>" % USER in logins[0], dovecot.log()
    # Dovecot marks an encrypted session "TLS" (loopback alone is "secured").
    assert ", TLS," in logins[0], logins[0]
    assert "TLS established with %s" % client.host in diag
    secrets_absent(diag, PASSWORD)


def test_pop3_plain_session_is_not_marked_tls(tls_dovecot, lib):
    """The server-side check above can tell: the same logon without TLS."""
    dovecot = tls_dovecot
    before = len(dovecot.logins())
    results, diag = Native(lib).run({"auth": "plain", "allow_plaintext_auth": "yes"},
                                    ("logon", dovecot.server, USER, PASSWORD), ("logoff",))
    assert statuses(results)[-2:] == [("logon", 0), ("logoff", 0)], diag
    logins = wait_for_login(dovecot, before)
    assert len(logins) == 1 and ", TLS," not in logins[0] and "secured" in logins[0]


# ---------------------------------------------------------------- SMTP against aiosmtpd

@pytest.mark.parametrize("security,auth,password,mechanism", [
    ("starttls", "plain", SMTP_PASSWORD, "PLAIN"),
    ("starttls", "login", SMTP_PASSWORD, "LOGIN"),
    ("starttls", "xoauth2", TOKEN, "XOAUTH2"),
    ("starttls", "auto", SMTP_PASSWORD, "PLAIN"),
    ("tls", "plain", SMTP_PASSWORD, "PLAIN"),
    ("tls", "login", SMTP_PASSWORD, "LOGIN"),
])
def test_smtp_over_tls_with_auth_delivers_intact(smtp, pki, client, tmp_path, security, auth,
                                                 password, mechanism):
    sink = smtp[security]
    att = tmp_path / "data.bin"
    att.write_bytes(ATTACHMENT)
    headers = header_list(to="bob@example.org", from_="carol@example.org", cc="dan@example.org",
                          subject="over %s with %s" % (security, auth))
    text = "First line.\r\n.A line with a leading dot.\r\nLast line."
    results, diag = client.run(
        tls_options(pki, client, security, auth=auth, smtp_user=SMTP_USER, smtp_password=password),
        ("send", server(client, sink.port), headers, text, client.path(str(att))))
    assert statuses(results)[-1] == ("send", 0), diag
    assert sink.logins == [(mechanism, SMTP_USER)]
    got = sink.messages[-1]
    assert got["tls"]
    assert got["mail_from"] == "carol@example.org"
    assert got["rcpt_tos"] == ["bob@example.org", "dan@example.org"]
    msg = email.message_from_bytes(got["data"], policy=email.policy.compat32)
    assert msg["Subject"] == "over %s with %s" % (security, auth)
    body, part = msg.get_payload()
    assert body.get_payload(decode=True).replace(b"\r\n", b"\n") == \
        text.replace("\r\n", "\n").encode() + b"\n"
    assert part.get_filename() == "data.bin"
    assert part.get_payload(decode=True) == ATTACHMENT
    secrets_absent(diag, password)


def test_smtp_wrong_token_is_refused(smtp, pki, client):
    sink = smtp["starttls"]
    results, diag = client.run(
        tls_options(pki, client, "starttls", auth="xoauth2", smtp_user=SMTP_USER,
                    smtp_password="not-the-token"),
        ("send", server(client, sink.port), header_list(to="b@example.org", from_="c@example.org"),
         "x\r\n", ""))
    assert statuses(results)[-1] == ("send", -2), diag
    assert sink.messages == [] and sink.logins == []
    assert "Authentication failed: 535" in diag
    secrets_absent(diag, "not-the-token")


# ---------------------------------------------------------------- scripted peers

class PeerClosed(Exception):
    pass


class Peer:
    """A scripted server on 127.0.0.1 for one connection. Everything the
    client sends is kept in raw (as it crossed the wire); lines it read
    before TLS in plain, and after TLS (decrypted) in secure. TLS runs over
    memory buffers so the script decides what goes out in which send."""

    def __init__(self, script, context=None, implicit=False):
        self.script = script
        self.context = context
        self.implicit = implicit
        self.raw = bytearray()
        self.plain = bytearray()
        self.secure = bytearray()
        self.handshake = None  # True or False once tried
        self.accepted = False
        self.tls = None
        self.buf = b""
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        self.listener.settimeout(60)
        try:
            self.conn, _ = self.listener.accept()
        except OSError:
            return
        self.accepted = True
        self.conn.settimeout(30)
        try:
            if not self.implicit or self.start_tls():
                self.script(self)
        except (OSError, ssl.SSLError, PeerClosed):
            pass
        finally:
            self.conn.close()

    def _recv(self):
        data = self.conn.recv(65536)
        self.raw += data
        return data

    def _flush(self):
        data = self._out.read()
        if data:
            self.conn.sendall(data)

    def start_tls(self):
        """Server handshake; on failure reads on to the client's close, so
        that raw shows whatever it sent after giving up."""
        self.buf = b""
        self._in, self._out = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.context.wrap_bio(self._in, self._out, server_side=True)
        try:
            while True:
                try:
                    tls.do_handshake()
                    break
                except ssl.SSLWantReadError:
                    self._flush()
                    data = self._recv()
                    if not data:
                        raise PeerClosed()
                    self._in.write(data)
        except (ssl.SSLError, PeerClosed):
            self.handshake = False
            try:
                self._flush()
                while self._recv():
                    pass
            except OSError:
                pass
            return False
        self._flush()
        self.tls = tls
        self.handshake = True
        return True

    def send(self, data):
        if self.tls is None:
            self.conn.sendall(data)
        else:
            self.tls.write(data)
            self._flush()

    def line(self):
        while b"\n" not in self.buf:
            if self.tls is None:
                data = self._recv()
                self.plain += data
            else:
                try:
                    data = self.tls.read(65536)
                    self.secure += data
                except ssl.SSLWantReadError:
                    more = self._recv()
                    if not more:
                        raise PeerClosed()
                    self._in.write(more)
                    continue
                except ssl.SSLZeroReturnError:
                    data = b""
            if not data:
                raise PeerClosed()
            self.buf += data
        line, _, self.buf = self.buf.partition(b"\n")
        return line + b"\n"

    def hold(self):
        """Silent until the client goes."""
        while self.line():
            pass

    def finish(self):
        self.thread.join(30)
        self.listener.close()


def pop3_script(stls=b"+OK Begin TLS\r\n", auth=None, retr=None, greeting=b"+OK ready\r\n",
                quit=b"+OK bye\r\n"):
    """A POP3 server: greeting (None: silent), STLS answered with stls (TLS
    follows when it starts with +OK), AUTH by auth(peer, line) or +OK, RETR
    by retr(peer) or a small message, QUIT by quit (None: silent)."""
    def script(peer):
        if greeting is None:
            return peer.hold()
        peer.send(greeting)
        while True:
            line = peer.line()
            word = line.split(b" ")[0].strip().upper()
            if word == b"STLS":
                peer.send(stls)
                if stls.startswith(b"+OK") and not peer.start_tls():
                    return
            elif word == b"AUTH":
                peer.send(auth(peer, line) if auth else b"+OK welcome\r\n")
            elif word in (b"USER", b"PASS"):
                peer.send(b"+OK\r\n")
            elif word == b"STAT":
                peer.send(b"+OK 1 120\r\n")
            elif word == b"LIST":
                peer.send(b"+OK 1 120\r\n")
            elif word == b"RETR":
                if retr:
                    return retr(peer)
                peer.send(b"+OK\r\nSubject: s\r\n\r\nbody\r\n.\r\n")
            elif word == b"QUIT":
                if quit is None:
                    return peer.hold()
                peer.send(quit)
                return
            else:
                peer.send(b"-ERR unknown\r\n")
    return script


def smtp_script(ehlo=(b"AUTH PLAIN LOGIN XOAUTH2", b"STARTTLS"), starttls=b"220 Go ahead\r\n",
                auth=None, greeting=b"220 peer ESMTP\r\n", after_dot=b"250 queued\r\n",
                ehlo_plain=None):
    """An SMTP server: EHLO offering the ehlo keywords (STARTTLS only before
    TLS; ehlo_plain instead, when given, before TLS), STARTTLS answered with
    starttls (TLS follows on 220), AUTH by auth(peer, line) or 235, the
    message's verdict after_dot (None: silent)."""
    def script(peer):
        if greeting is None:
            return peer.hold()
        peer.send(greeting)
        while True:
            line = peer.line()
            word = line.split(b" ")[0].strip().upper()
            if word in (b"EHLO", b"HELO"):
                keywords = ehlo_plain if ehlo_plain and peer.tls is None else ehlo
                offered = [k for k in keywords if k != b"STARTTLS" or peer.tls is None]
                peer.send(b"".join(b"250-" + k + b"\r\n" for k in [b"peer"] + offered[:-1]) +
                          b"250 " + (offered[-1] if offered else b"peer") + b"\r\n")
            elif word == b"STARTTLS":
                peer.send(starttls)
                if starttls.startswith(b"220") and not peer.start_tls():
                    return
            elif word == b"AUTH":
                peer.send(auth(peer, line) if auth else b"235 2.7.0 ok\r\n")
            elif word in (b"MAIL", b"RCPT"):
                peer.send(b"250 ok\r\n")
            elif word == b"DATA":
                peer.send(b"354 go\r\n")
                while peer.line() != b".\r\n":
                    pass
                if after_dot is None:
                    return peer.hold()
                peer.send(after_dot)
            elif word == b"QUIT":
                peer.send(b"221 bye\r\n")
                return
            else:
                peer.send(b"500 unknown\r\n")
    return script


SMTP_HEADERS = header_list(to="bob@example.org", from_="carol@example.org", subject="s")


def smtp_auth_options(security="tls", auth="plain"):
    return {"security": security, "auth": auth, "smtp_user": SMTP_USER,
            "smtp_password": SMTP_PASSWORD}


# Each way in: POP3S, STLS, SMTP with TLS from the first byte, STARTTLS.
WAYS = {
    "pop3s": ("pop3", "tls"),
    "stls": ("pop3", "starttls"),
    "smtps": ("smtp", "tls"),
    "starttls": ("smtp", "starttls"),
}


def run_way(client, way, peer, options):
    protocol, security = WAYS[way]
    if protocol == "pop3":
        options = dict(options, security=security, auth="plain")
        return client.run(options, ("logon", server(client, peer.port), USER, PASSWORD))
    options = dict(options, **smtp_auth_options(security))
    return client.run(options, ("send", server(client, peer.port), SMTP_HEADERS, "x\r\n", ""))


def start_peer(way, pki, cert=None, plain=False, **script):
    """A peer for a way in; plain: no TLS from the first byte even so."""
    protocol, security = WAYS[way]
    make = pop3_script if protocol == "pop3" else smtp_script
    return Peer(make(**script), server_tls_context(*(cert or pki.good)),
                implicit=security == "tls" and not plain)


@pytest.mark.parametrize("way", list(WAYS))
@pytest.mark.parametrize("problem,reason", [("untrusted", "untrusted issuer"),
                                            ("wrong_name", "name mismatch"),
                                            ("expired", "expired")])
def test_certificate_refused_nothing_sent(pki, client, way, problem, reason):
    cert = {"untrusted": pki.good, "wrong_name": pki.other_name, "expired": pki.expired_cert}[problem]
    ca = pki.stranger_ca if problem == "untrusted" else pki.ca_file
    peer = start_peer(way, pki, cert)
    results, diag = run_way(client, way, peer, {"ca_file": client.path(ca)})
    peer.finish()
    assert statuses(results)[-1][1] == -9, diag
    assert "TLS failed: " + reason in diag, diag
    # SChannel checks the certificate once the handshake is through (the
    # server sees it complete); either way no protected byte may follow.
    assert peer.secure == b""
    for word in (b"USER", b"PASS", b"AUTH", b"MAIL"):
        assert word not in peer.raw
    assert PASSWORD.encode() not in peer.raw and SMTP_PASSWORD.encode() not in peer.raw


@pytest.mark.parametrize("way,script,wire", [
    ("stls", {"stls": b"-ERR STLS not offered\r\n"}, [b"STLS"]),
    ("starttls", {"ehlo": (b"AUTH PLAIN",)}, [b"EHLO"]),
    ("starttls", {"starttls": b"454 4.7.0 TLS not available\r\n"}, [b"EHLO", b"STARTTLS"]),
])
def test_no_tls_offered_no_downgrade(pki, client, way, script, wire):
    peer = start_peer(way, pki, **script)
    results, diag = run_way(client, way, peer, {"ca_file": client.path(pki.ca_file)})
    peer.finish()
    assert statuses(results)[-1][1] == -9, diag
    assert any(l.startswith("BREVORIN: <E1>") and "TLS" in l for l in diag.splitlines()), diag
    # What the client said, and nothing more: no credentials in the clear.
    assert [l.split(b" ")[0].strip() for l in bytes(peer.raw).splitlines()] == wire
    assert peer.handshake is None


def injected_pop3_auth(peer, line):
    return b"-ERR no such user\r\n"


def injected_smtp_auth(peer, line):
    return b"535 5.7.8 no\r\n"


@pytest.mark.parametrize("way,script,status,first", [
    ("stls", {"stls": b"+OK Begin TLS\r\n+OK injected\r\n", "auth": injected_pop3_auth}, -2,
     b"AUTH PLAIN "),
    ("starttls", {"starttls": b"220 Go ahead\r\n250 injected\r\n", "auth": injected_smtp_auth}, -2,
     b"EHLO "),
])
def test_plaintext_after_the_tls_answer_is_not_a_reply(pki, client, way, script, status, first):
    """Bytes sent with the STLS/STARTTLS answer, before the handshake, are
    dropped: the reply the client acts on comes over TLS (a refusal)."""
    peer = start_peer(way, pki, **script)
    results, diag = run_way(client, way, peer, {"ca_file": client.path(pki.ca_file)})
    peer.finish()
    assert peer.handshake is True
    assert statuses(results)[-1][1] == status, diag
    assert bytes(peer.secure).startswith(first), bytes(peer.secure)
    assert "injected" not in diag


def test_smtp_uses_only_what_the_server_offers_over_tls(pki, client):
    """What EHLO said before TLS may have been forged; auto picks from the
    answer to the EHLO sent over TLS."""
    peer = start_peer("starttls", pki, ehlo_plain=(b"AUTH LOGIN", b"STARTTLS"),
                      ehlo=(b"AUTH PLAIN",))
    options = dict(smtp_auth_options("starttls", "auto"), ca_file=client.path(pki.ca_file))
    results, diag = client.run(options, ("send", server(client, peer.port), SMTP_HEADERS,
                                         "x\r\n", ""))
    peer.finish()
    assert statuses(results)[-1] == ("send", 0), diag
    assert bytes(peer.secure).split(b"\r\n")[1].startswith(b"AUTH PLAIN ")


@pytest.mark.parametrize("way", list(WAYS))
def test_verify_none_accepts_any_certificate_with_a_warning(pki, client, way):
    peer = start_peer(way, pki, pki.other_name)
    results, diag = run_way(client, way, peer, {"verify": "none"})
    peer.finish()
    assert statuses(results)[-1][1] == 0, diag
    assert "<W1>" in diag and "not verified (verify=none)" in diag


def silent_retr(peer):
    peer.send(b"+OK 120 octets\r\nSubject: s\r\n\r\nthe first part of the bo")
    peer.hold()


# A wait that gives up must do so once: the bound leaves a loaded machine
# (or Wine) two seconds of slack, and still fails a timeout served twice.
TIMEOUT = 3


@pytest.mark.parametrize("case,script,steps,status", [
    ("pop3-handshake", {"greeting": None}, [], -9),
    ("pop3-greeting", {"greeting": None}, [], -9),
    ("pop3-mid-retr", {"retr": silent_retr}, [("raw", 1)], -4),
    ("pop3-after-dot", {"quit": None}, [("raw", 1), ("logoff",)], -9),
    ("smtp-greeting", {"greeting": None}, None, -9),
    ("smtp-after-dot", {"after_dot": None}, None, -9),
])
def test_silent_server_times_out(pki, client, case, script, steps, status):
    way = "pop3s" if case.startswith("pop3") else "smtps"
    # In the handshake case not a byte of the handshake comes back.
    peer = start_peer(way, pki, plain=case == "pop3-handshake", **script)
    options = {"ca_file": client.path(pki.ca_file), "timeout": str(TIMEOUT),
               "connect_timeout": str(TIMEOUT)}
    if steps is None:
        results, diag = run_way(client, way, peer, options)
    else:
        results, diag = client.run(dict(options, security="tls", auth="plain"),
                                   ("logon", server(client, peer.port), USER, PASSWORD), *steps)
    peer.finish()
    op, got, _, seconds = results[-1]
    assert all(earlier >= 0 for _, earlier, _, _ in results[:-1]), diag
    assert got == status, diag
    assert seconds < 2 * TIMEOUT - 1, seconds


@pytest.mark.parametrize("options,steps", [
    ({"auth": "plain"}, [("logon", USER, PASSWORD)]),
    ({"auth": "xoauth2"}, [("logon", USER, TOKEN)]),
    (smtp_auth_options("none", "plain"), [("send", SMTP_HEADERS, "x\r\n", "")]),
    (smtp_auth_options("none", "login"), [("send", SMTP_HEADERS, "x\r\n", "")]),
], ids=["pop3-plain", "pop3-xoauth2", "smtp-plain", "smtp-login"])
def test_credentials_without_tls_refused_before_connecting(client, options, steps):
    listener = socket.create_server(("127.0.0.1", 0))
    listener.setblocking(False)
    port = listener.getsockname()[1]
    try:
        op, *args = steps[0]
        results, diag = client.run(options, (op, server(client, port), *args))
        assert statuses(results)[-1] == (op, -10), diag
        assert "Refused: credentials would be sent without TLS" in diag
        with pytest.raises(BlockingIOError):
            listener.accept()
    finally:
        listener.close()


# ---------------------------------------------------------------- AUTH exchanges on the wire

def b64(text):
    return base64.b64encode(text.encode() if isinstance(text, str) else text)


XOAUTH2_POP3 = b64("user=%s\x01auth=Bearer %s\x01\x01" % (USER, TOKEN))
XOAUTH2_SMTP = b64("user=%s\x01auth=Bearer %s\x01\x01" % (SMTP_USER, TOKEN))
ERROR_REPORT = b64('{"status":"401","schemes":"Bearer","scope":"mail"}')
# An access token as large providers issue them (a JSON Web Token): too long
# for the AUTH line, so the response follows the server's continuation.
JWT = "eyJhbGciOiJSUzI1NiJ9." + "J" * 2979
XOAUTH2_POP3_JWT = b64("user=%s\x01auth=Bearer %s\x01\x01" % (USER, JWT))
XOAUTH2_SMTP_JWT = b64("user=%s\x01auth=Bearer %s\x01\x01" % (SMTP_USER, JWT))


def pop3_challenge(peer, line):
    peer.send(b"+ " + ERROR_REPORT + b"\r\n")
    peer.line()
    return b"-ERR [AUTH] token rejected\r\n"


def smtp_challenge(peer, line):
    peer.send(b"334 " + ERROR_REPORT + b"\r\n")
    peer.line()
    return b"535 5.7.8 token rejected\r\n"


def pop3_continuation(peer, line):
    peer.send(b"+ \r\n")
    peer.line()
    return b"+OK\r\n"


def smtp_continuation(peer, line):
    peer.send(b"334 \r\n")
    peer.line()
    return b"235 2.7.0 ok\r\n"


def smtp_login(peer, line):
    peer.send(b"334 VXNlcm5hbWU6\r\n")
    peer.line()
    peer.send(b"334 UGFzc3dvcmQ6\r\n")
    peer.line()
    return b"235 2.7.0 ok\r\n"


@pytest.mark.parametrize("auth,secret,script,status,wire", [
    ("plain", PASSWORD, {}, 0,
     b"AUTH PLAIN " + b64("\0%s\0%s" % (USER, PASSWORD)) + b"\r\nSTAT\r\n"),
    ("xoauth2", TOKEN, {}, 0, b"AUTH XOAUTH2 " + XOAUTH2_POP3 + b"\r\nSTAT\r\n"),
    ("xoauth2", TOKEN, {"auth": pop3_challenge}, -2,
     b"AUTH XOAUTH2 " + XOAUTH2_POP3 + b"\r\n\r\n"),
    ("xoauth2", JWT, {"auth": pop3_continuation}, 0,
     b"AUTH XOAUTH2\r\n" + XOAUTH2_POP3_JWT + b"\r\nSTAT\r\n"),
], ids=["plain", "xoauth2", "xoauth2-refused", "xoauth2-jwt"])
def test_pop3_auth_bytes(pki, client, auth, secret, script, status, wire):
    peer = Peer(pop3_script(**script), server_tls_context(*pki.good), implicit=True)
    results, diag = client.run(tls_options(pki, client, "tls", auth=auth),
                               ("logon", server(client, peer.port), USER, secret))
    peer.finish()
    assert statuses(results)[-1] == ("logon", status), diag
    assert bytes(peer.secure).startswith(wire), bytes(peer.secure)
    secrets_absent(diag, secret)
    assert wire.split(b"\r\n")[0].decode() not in diag


@pytest.mark.parametrize("auth,ehlo,secret,script,status,wire", [
    ("plain", (b"AUTH PLAIN LOGIN",), SMTP_PASSWORD, {}, 0,
     b"AUTH PLAIN " + b64("\0%s\0%s" % (SMTP_USER, SMTP_PASSWORD)) + b"\r\n"),
    ("login", (b"AUTH PLAIN LOGIN",), SMTP_PASSWORD, {"auth": smtp_login}, 0,
     b"AUTH LOGIN\r\n" + b64(SMTP_USER) + b"\r\n" + b64(SMTP_PASSWORD) + b"\r\n"),
    ("auto", (b"AUTH LOGIN",), SMTP_PASSWORD, {"auth": smtp_login}, 0,
     b"AUTH LOGIN\r\n" + b64(SMTP_USER) + b"\r\n" + b64(SMTP_PASSWORD) + b"\r\n"),
    ("xoauth2", (b"AUTH XOAUTH2",), TOKEN, {}, 0, b"AUTH XOAUTH2 " + XOAUTH2_SMTP + b"\r\n"),
    ("xoauth2", (b"AUTH XOAUTH2",), TOKEN, {"auth": smtp_challenge}, -2,
     b"AUTH XOAUTH2 " + XOAUTH2_SMTP + b"\r\n\r\n"),
    ("xoauth2", (b"AUTH XOAUTH2",), JWT, {"auth": smtp_continuation}, 0,
     b"AUTH XOAUTH2\r\n" + XOAUTH2_SMTP_JWT + b"\r\n"),
], ids=["plain", "login", "auto-login", "xoauth2", "xoauth2-refused", "xoauth2-jwt"])
def test_smtp_auth_bytes(pki, client, auth, ehlo, secret, script, status, wire):
    peer = Peer(smtp_script(ehlo=ehlo, **script), server_tls_context(*pki.good), implicit=True)
    options = tls_options(pki, client, "tls", auth=auth, smtp_user=SMTP_USER, smtp_password=secret)
    results, diag = client.run(options, ("send", server(client, peer.port), SMTP_HEADERS,
                                         "x\r\n", ""))
    peer.finish()
    assert statuses(results)[-1] == ("send", status), diag
    sent = bytes(peer.secure)
    auth_start = sent.index(b"AUTH ")
    exchange = sent[auth_start:]
    if status == 0:
        assert exchange.startswith(wire + b"MAIL FROM: <carol@example.org>\r\n"), exchange
    else:
        assert exchange == wire, exchange
    assert sent[:auth_start].startswith(b"EHLO ")
    secrets_absent(diag, secret)
    for line in wire.split(b"\r\n"):
        if line not in (b"", b"AUTH LOGIN", b"AUTH XOAUTH2", b64(SMTP_USER)):
            assert line.decode() not in diag
