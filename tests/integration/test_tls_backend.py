"""The TLS backends (OpenSSL natively, SChannel in the Windows build under
Wine) through tls_probe against a Python ssl echo server, with certificates
from a throwaway CA: verification outcomes, failures of the peer, and data
arriving in awkward pieces."""
import datetime
import ipaddress
import os
import socket
import ssl
import subprocess
import tempfile
import threading

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

import brevorin_ffi
import wine

DAY = datetime.timedelta(days=1)


def _name(cn):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])


def _make_ca():
    key = ec.generate_private_key(ec.SECP256R1())
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(_name("brevorin test CA"))
            .issuer_name(_name("brevorin test CA")).public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - DAY).not_valid_after(now + 30 * DAY)
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False),
                           critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
            .sign(key, hashes.SHA256()))
    return key, cert


def _make_leaf(ca_key, ca_cert, names, not_before, not_after):
    key = ec.generate_private_key(ec.SECP256R1())
    sans = [x509.IPAddress(ipaddress.ip_address(n)) if n[0].isdigit() else x509.DNSName(n)
            for n in names]
    cert = (x509.CertificateBuilder().subject_name(_name(names[0])).issuer_name(ca_cert.subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(not_before).not_valid_after(not_after)
            .add_extension(x509.SubjectAlternativeName(sans), critical=False)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()),
                           critical=False)
            .sign(ca_key, hashes.SHA256()))
    return key, cert


def _pem(cert):
    return cert.public_bytes(serialization.Encoding.PEM)


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
        ca_key, ca_cert = _make_ca()
        now = datetime.datetime.now(datetime.timezone.utc)
        kinds = {
            "good": (["localhost", "127.0.0.1"], now - DAY, now + 10 * DAY),
            "expired": (["localhost", "127.0.0.1"], now - 20 * DAY, now - 2 * DAY),
            "other": (["mail.other.example"], now - DAY, now + 10 * DAY),
            # Sends the root along: a complete chain to a root nobody trusts.
            "chain": (["localhost", "127.0.0.1"], now - DAY, now + 10 * DAY),
        }
        running = {}
        try:
            for kind, (names, nb, na) in kinds.items():
                key, cert = _make_leaf(ca_key, ca_cert, names, nb, na)
                cert_file = os.path.join(d, kind + ".pem")
                key_file = os.path.join(d, kind + ".key")
                with open(cert_file, "wb") as f:
                    f.write(_pem(cert) + (_pem(ca_cert) if kind == "chain" else b""))
                with open(key_file, "wb") as f:
                    f.write(key.private_bytes(serialization.Encoding.PEM,
                                              serialization.PrivateFormat.PKCS8,
                                              serialization.NoEncryption()))
                running[kind] = EchoServer(cert_file, key_file)
            running["greeting"] = EchoServer(os.path.join(d, "good.pem"),
                                             os.path.join(d, "good.key"), GREETING)
            running["closing"] = PlainServer(b"")
            running["plaintext"] = PlainServer(b"+OK POP3 server ready, no TLS here\r\n" * 4)
            ca_file = os.path.join(d, "ca.pem")
            with open(ca_file, "wb") as f:
                # A second, unrelated certificate first: every root in the
                # file must count, not only the first.
                f.write(_pem(_make_ca()[1]) + _pem(ca_cert))
            empty_file = os.path.join(d, "empty.pem")
            with open(empty_file, "wb") as f:
                f.write(b"no certificates here\n")
            yield running, {"ca": ca_file, "empty": empty_file, "missing": os.path.join(d, "none.pem")}
        finally:
            for server in running.values():
                server.stop()


class Probe:
    """tls_probe natively or, from the Windows build, under Wine. Wine's
    SChannel matches DNS names only, never IP addresses: there the probe
    connects to localhost."""

    def __init__(self, runner=None):
        self.runner = runner
        if runner is None:
            self.host, self.backend, self.cmd = "127.0.0.1", "OpenSSL", [
                os.path.join(brevorin_ffi.build_dir(), "tests", "tls_probe")]
        else:
            exe = os.path.join(runner.build, "tls_probe.exe")
            assert os.path.exists(exe), "the Windows build has no tls_probe.exe; rebuild it"
            self.host, self.backend, self.cmd = "localhost", "SChannel", ["wine", exe]

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
