"""Throwaway certificates for TLS tests, benchmarks and the demo: a private
CA and server certificates it signs (RSA 2048, made with
python3-cryptography), written as PEM files.

RSA rather than ECDSA: Wine's certificate services now and then reject a
valid ECDSA signature (the DER integers of a signature vary in length), which
would make the DLL's tests fail at random."""
import datetime
import ipaddress
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

DAY = datetime.timedelta(days=1)


def now():
    return datetime.datetime.now(datetime.timezone.utc)


def _name(cn):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])


def make_ca(cn="brevorin test CA"):
    """A self-signed CA: (key, certificate)."""
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    start = now()
    cert = (x509.CertificateBuilder().subject_name(_name(cn))
            .issuer_name(_name(cn)).public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(start - DAY).not_valid_after(start + 30 * DAY)
            .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
            .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False),
                           critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
            .sign(key, hashes.SHA256()))
    return key, cert


def make_leaf(ca_key, ca_cert, names, not_before=None, not_after=None, alt_names=True):
    """A server certificate for names (DNS names or IP literals; the first is
    also the subject) signed by the CA: (key, certificate). Valid from a day
    ago for ten days unless told otherwise. alt_names=False leaves out the
    subjectAltName: the first name is then only the subject's CN. A name
    given as an x509.GeneralName goes in as it is, for entries the guess
    would get wrong (an IPv6 address, a DNS name spelling an IP address)."""
    start = now()
    not_before = not_before or start - DAY
    not_after = not_after or start + 10 * DAY
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    sans = [n if isinstance(n, x509.GeneralName)
            else x509.IPAddress(ipaddress.ip_address(n)) if n[0].isdigit() else x509.DNSName(n)
            for n in names]
    subject = names[0] if isinstance(names[0], str) else str(names[0].value)
    builder = (x509.CertificateBuilder().subject_name(_name(subject)).issuer_name(ca_cert.subject)
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(not_before).not_valid_after(not_after))
    if alt_names:
        builder = builder.add_extension(x509.SubjectAlternativeName(sans), critical=False)
    cert = (builder
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(ca_key.public_key()),
                           critical=False)
            .sign(ca_key, hashes.SHA256()))
    return key, cert


def pem(cert):
    return cert.public_bytes(serialization.Encoding.PEM)


def key_pem(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def write_leaf(directory, name, key, cert, extra=b""):
    """Writes name.pem (the certificate, then extra, e.g. the CA for a full
    chain) and name.key: (cert_file, key_file)."""
    return (write(os.path.join(directory, name + ".pem"), pem(cert) + extra),
            write(os.path.join(directory, name + ".key"), key_pem(key)))


LOCAL_NAMES = ["localhost", "127.0.0.1"]


class Pki:
    """A CA in a directory, its PEM file (ca_file) and server certificates on
    demand: good (localhost and 127.0.0.1), expired, or for another name."""

    def __init__(self, directory):
        self.directory = directory
        self.ca_key, self.ca_cert = make_ca()
        self.ca_file = write(os.path.join(directory, "ca.pem"), pem(self.ca_cert))

    def server(self, name="server", names=None, not_before=None, not_after=None):
        key, cert = make_leaf(self.ca_key, self.ca_cert, names or LOCAL_NAMES, not_before,
                              not_after)
        return write_leaf(self.directory, name, key, cert)

    def expired(self, name="expired"):
        start = now()
        return self.server(name, not_before=start - 20 * DAY, not_after=start - 2 * DAY)
