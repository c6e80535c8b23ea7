"""The TLS backends (OpenSSL natively, SChannel in the Windows build under
Wine) through tls_probe against a Python ssl echo server, with certificates
from a throwaway CA: verification outcomes, failures of the peer, and data
arriving in awkward pieces."""
import ipaddress
import os
import socket
import ssl
import subprocess
import tempfile
import threading

import pytest
from cryptography import x509

import brevorin_ffi
import certs
import wine

DAY = certs.DAY



class EchoServer:
    """A TLS echo server on 127.0.0.1 with one certificate, a thread per
    connection; clients that fail their handshake are dropped quietly.

    TLS runs over memory buffers so that the server decides what goes out
    together: a greeting leaves in the same send as the handshake's last
    flight, the way a POP3S server's "+OK" can arrive with its Finished."""

    def __init__(self, cert_file, key_file, greeting=b""):
        self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        if cert_file:
            self.ctx.load_cert_chain(cert_file, key_file)
        self.greeting = greeting
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.stopping = threading.Event()
        self.threads = []
        self.accepter = threading.Thread(target=self._accept, daemon=True)
        self.accepter.start()

    def _accept(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            t.start()
            self.threads.append(t)

    def _serve(self, conn):
        conn.settimeout(60)
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.ctx.wrap_bio(incoming, outgoing, server_side=True)

        def flush():
            data = outgoing.read()
            if data:
                conn.sendall(data)

        def feed():
            data = conn.recv(65536)
            incoming.write(data)
            return bool(data)

        try:
            while True:
                try:
                    tls.do_handshake()
                    break
                except ssl.SSLWantReadError:
                    flush()
                    if not feed():
                        return
            if self.greeting:
                tls.write(self.greeting)
            flush()
            while True:
                try:
                    data = tls.read(65536)
                except ssl.SSLWantReadError:
                    if not feed():
                        return
                    continue
                if not data:
                    return
                tls.write(data)
                flush()
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()

    def stop(self):
        self.stopping.set()
        self.accepter.join(10)
        self.listener.close()
        for t in self.threads:
            t.join(10)


class PlainServer(EchoServer):
    """Not TLS at all: sends its reply, waits for the client's first bytes
    (the ClientHello) and closes."""

    def __init__(self, reply):
        self.reply = reply
        super().__init__(None, None)

    def _serve(self, conn):
        try:
            conn.sendall(self.reply)
            conn.settimeout(10)
            conn.recv(65536)
        except OSError:
            pass
        finally:
            conn.close()


GREETING = b"+OK TLS echo ready\r\n"


@pytest.fixture(scope="module")
def servers():
    """Echo servers by certificate kind, and the CA's PEM file."""
    with tempfile.TemporaryDirectory(prefix="brevorin-tls-") as d:
        ca_key, ca_cert = certs.make_ca()
        now = certs.now()
        kinds = {
            "good": (["localhost", "127.0.0.1"], now - DAY, now + 10 * DAY),
            "expired": (["localhost", "127.0.0.1"], now - 20 * DAY, now - 2 * DAY),
            "other": (["mail.other.example"], now - DAY, now + 10 * DAY),
            # Sends the root along: a complete chain to a root nobody trusts.
            "chain": (["localhost", "127.0.0.1"], now - DAY, now + 10 * DAY),
            # The host only in the subject's CN: no subjectAltName at all.
            "cn-only": (["localhost"], now - DAY, now + 10 * DAY),
            "future": (["localhost", "127.0.0.1"], now + 2 * DAY, now + 10 * DAY),
            "wildcard": (["*.wild.example"], now - DAY, now + 10 * DAY),
        }
        running = {}
        try:
            for kind, (names, nb, na) in kinds.items():
                key, cert = certs.make_leaf(ca_key, ca_cert, names, nb, na,
                                            alt_names=kind != "cn-only")
                cert_file, key_file = certs.write_leaf(
                    d, kind, key, cert, certs.pem(ca_cert) if kind == "chain" else b"")
                running[kind] = EchoServer(cert_file, key_file)
            running["greeting"] = EchoServer(os.path.join(d, "good.pem"),
                                             os.path.join(d, "good.key"), GREETING)
            running["closing"] = PlainServer(b"")
            running["plaintext"] = PlainServer(b"+OK POP3 server ready, no TLS here\r\n" * 4)
            # A second, unrelated certificate first: every root in the file
            # must count, not only the first.
            ca_file = certs.write(os.path.join(d, "ca.pem"),
                                  certs.pem(certs.make_ca()[1]) + certs.pem(ca_cert))
            empty_file = certs.write(os.path.join(d, "empty.pem"), b"no certificates here\n")
            yield running, {"ca": ca_file, "empty": empty_file, "missing": os.path.join(d, "none.pem")}
        finally:
            for server in running.values():
                server.stop()


class Probe:
    """tls_probe natively or, from the Windows build, under Wine; both connect
    to 127.0.0.1 and so match the certificate's IP address entry unless told
    another name."""

    host = "127.0.0.1"

    def __init__(self, runner=None):
        self.runner = runner
        if runner is None:
            self.backend, self.cmd = "OpenSSL", [
                os.path.join(brevorin_ffi.build_dir(), "tests", "tls_probe")]
        else:
            exe = os.path.join(runner.build, "tls_probe.exe")
            assert os.path.exists(exe), "the Windows build has no tls_probe.exe; rebuild it"
            self.backend, self.cmd = "SChannel", ["wine", exe]

    def path(self, p):
        return wine.to_windows_path(p) if self.runner else p

    def run(self, *args):
        env = self.runner.env() if self.runner else None
        return subprocess.run(self.cmd + [str(a) for a in args], capture_output=True, text=True,
                              timeout=300, env=env).stdout.strip()


@pytest.fixture(params=["native", "wine"])
def probe(request):
    return Probe(request.getfixturevalue("wine_build") if request.param == "wine" else None)


@pytest.mark.parametrize("kind,ca,extra,expected", [
    ("good", "ca", [], "OK"),
    ("good", "ca", ["--name", "localhost"], "OK"),
    ("good", None, [], "FAIL untrusted issuer"),
    ("chain", None, [], "FAIL untrusted issuer"),
    ("chain", "ca", [], "OK"),
    ("other", "ca", [], "FAIL name mismatch"),
    ("good", "ca", ["--name", "elsewhere.example"], "FAIL name mismatch"),
    ("expired", "ca", [], "FAIL expired"),
    ("cn-only", "ca", ["--name", "localhost"], "FAIL name mismatch"),
    ("future", "ca", [], "FAIL expired"),
    # A wildcard stands for exactly one label.
    ("wildcard", "ca", ["--name", "one.wild.example"], "OK"),
    ("wildcard", "ca", ["--name", "two.one.wild.example"], "FAIL name mismatch"),
    ("good", None, ["--no-verify"], "OK"),
    ("other", None, ["--no-verify"], "OK"),
    ("good", "empty", [], "FAIL ca file unusable"),
    ("good", "missing", [], "FAIL ca file unusable"),
    ("closing", "ca", [], "FAIL transport"),
    ("plaintext", "ca", [], "FAIL protocol"),
    # Records split across reads and several records per read.
    ("good", "ca", ["--bytes", 1 << 20], "OK"),
    # Application data in the same read as the server's Finished.
    ("greeting", "ca", ["--greeting", GREETING.decode()], "OK"),
])
def test_probe_outcome(servers, probe, kind, ca, extra, expected):
    running, files = servers
    args = [probe.host, running[kind].port] + extra
    if ca:
        args += ["--ca", probe.path(files[ca])]
    out = probe.run(*args)
    if expected == "OK":
        expected += " " + probe.backend
    assert out.startswith(expected), out


def _ip(text):
    return x509.IPAddress(ipaddress.ip_address(text))


# Which certificates are for which host, the same in both backends: the
# subjectAltName entries (None: none at all, the name only in the subject's
# CN), the host the client asks for, and whether it may go on.
NAME_RULE = [
    ("exact", ["mail.example.test"], "mail.example.test", True),
    ("case", ["Mail.Example.TEST"], "mail.EXAMPLE.test", True),
    ("trailing-dot", ["mail.example.test"], "mail.example.test.", True),
    ("wildcard", ["*.example.test"], "mail.example.test", True),
    ("wildcard-two-labels", ["*.example.test"], "a.mail.example.test", False),
    ("partial-wildcards", ["f*.example.test", "*oo.example.test"], "foo.example.test", False),
    ("bare-domain-wildcard", ["*.test"], "example.test", False),
    ("lone-star", ["*"], "example.test", False),
    ("wildcard-a-label", ["*.example.test"], "xn--bcher-kva.example.test", False),
    ("ipv4", [_ip("127.0.0.1")], "127.0.0.1", True),
    ("ipv4-as-dns-name", [x509.DNSName("127.0.0.1")], "127.0.0.1", False),
    ("ipv6-other-spelling", [_ip("::1")], "0:0::1", True),
    ("ipv6-bracketed", [_ip("::1")], "[::1]", True),
    ("cn-only", None, "mail.example.test", False),
]


@pytest.fixture(scope="module")
def name_servers():
    """An echo server per distinct set of entries in NAME_RULE, and the CA."""
    with tempfile.TemporaryDirectory(prefix="brevorin-names-") as d:
        ca_key, ca_cert = certs.make_ca()
        ca_file = certs.write(os.path.join(d, "ca.pem"), certs.pem(ca_cert))
        running = {}
        try:
            for case, entries, _, _ in NAME_RULE:
                key = repr(entries)
                if key in running:
                    continue
                names = entries or ["mail.example.test"]
                leaf_key, cert = certs.make_leaf(ca_key, ca_cert, names, alt_names=entries is not None)
                running[key] = EchoServer(*certs.write_leaf(d, case, leaf_key, cert))
            yield running, ca_file
        finally:
            for server in running.values():
                server.stop()


@pytest.mark.parametrize("entries,host,matches", [c[1:] for c in NAME_RULE],
                         ids=[c[0] for c in NAME_RULE])
def test_name_rule(name_servers, probe, entries, host, matches):
    running, ca_file = name_servers
    out = probe.run(probe.host, running[repr(entries)].port, "--name", host,
                    "--ca", probe.path(ca_file))
    assert out.startswith("OK " + probe.backend if matches else "FAIL name mismatch"), out


@pytest.mark.parametrize("system,ca,expected", [
    ("bundle", None, "OK"),
    ("bundle", "stranger", "OK"),
    ("directory", None, "OK"),
    ("directory", "stranger", "OK"),
    ("stranger-bundle", None, "FAIL untrusted issuer"),
])
def test_system_roots_count_besides_the_ca_file(servers, tmp_path, system, ca, expected):
    """OpenSSL: the system's roots, from its bundle file (read only when a
    chain needs it) or its hashed directory, are trusted with or without a
    ca_file of other roots. SSL_CERT_FILE and SSL_CERT_DIR stand in for the
    system's."""
    running, files = servers
    stranger = certs.write(str(tmp_path / "stranger.pem"),
                           certs.pem(certs.make_ca("stranger CA")[1]))
    hashed = tmp_path / "hashed"
    hashed.mkdir()
    if system == "directory":
        # The last certificate of the ca_file is the servers' CA.
        end = b"-----END CERTIFICATE-----\n"
        ca_pem = open(files["ca"], "rb").read().split(end)[-2] + end
        certs.write(str(hashed / "ca.pem"), ca_pem)
        subprocess.run(["openssl", "rehash", str(hashed)], check=True)
    bundle = {"bundle": files["ca"], "stranger-bundle": stranger}.get(system, str(tmp_path / "none"))
    env = dict(os.environ, SSL_CERT_FILE=bundle, SSL_CERT_DIR=str(hashed))
    probe = Probe()
    args = [probe.host, running["good"].port] + (["--ca", stranger] if ca else [])
    out = subprocess.run(probe.cmd + [str(a) for a in args], capture_output=True, text=True,
                         timeout=60, env=env).stdout.strip()
    assert out.startswith(expected), out
