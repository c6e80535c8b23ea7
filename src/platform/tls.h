// One TLS interface over several backends (OpenSSL on Linux, SChannel in the
// Windows DLL). A TLS stream is a byte-stream layer that the connection puts
// between the socket and the line engine; protocol code never sees it.
#pragma once

#include <memory>
#include <string>

namespace brevorin::platform {

// The plain byte transport under TLS: the connection's socket, with its
// timeouts. recv: count, 0 at the peer's end, -1 on failure (the socket
// layer's last error tells why, 10060 for an expired wait). send: count or -1.
class RawTransport {
public:
    virtual ~RawTransport() = default;
    virtual int recv(char* buffer, int length) = 0;
    virtual int send(const char* data, int length) = 0;
};

enum class TlsVersion { k1_2, k1_3 };

// What a TLS session must satisfy: decided once for a connection (in net/)
// and translated by each backend, so that both hold the same rules.
struct TlsSettings {
    std::string host;           // the name (or IP address literal) the certificate must match
    std::string ca_file;        // PEM roots trusted besides the system's; empty for none
    // The chain must end in a trusted root, each certificate within its
    // validity period.
    bool verify_chain = true;
    // The certificate must name host in its subjectAltName: a DNS name (a
    // wildcard covering exactly one leftmost label), or an IP address entry
    // for an address literal. The subject CN never counts.
    bool verify_host = true;
    TlsVersion min_version = TlsVersion::k1_2;
    // TLS 1.3 where the backend and the system offer it, else 1.2.
    bool offer_tls13 = true;
    // A peer that ends the stream without close_notify ends the data (mail
    // protocols end their own data, so nothing they accept is cut short).
    bool tolerate_unclean_close = true;
    // Fill TlsHandshake::summary after the handshake.
    bool describe = false;

    bool verifies() const { return verify_chain || verify_host; }
};

enum class TlsFailure {
    kNone,
    kUnavailable,   // no TLS backend in this build, or it could not be initialised
    kCaFile,        // ca_file unreadable or holds no certificate
    kTransport,     // the socket failed or the peer closed during the handshake
    kProtocol,      // handshake failed: no common version/cipher, bad record, alert
    kUntrusted,     // chain does not end in a trusted root (incl. self-signed)
    kNameMismatch,  // certificate is for another host
    kExpired,       // a certificate of the chain is expired or not yet valid
};

// A human-readable reason for a failure ("untrusted issuer", "name mismatch",
// "expired", "protocol", ...).
const char* describe(TlsFailure failure);

// An established TLS session. read: count (> 0), 0 when the peer closed
// (close_notify or end of stream), -1 on failure. write: all of data, or -1.
class TlsStream {
public:
    virtual ~TlsStream() = default;
    virtual int read(char* buffer, int length) = 0;
    virtual int write(const char* data, int length) = 0;
    // Sends close_notify, best effort; the socket stays open.
    virtual void shutdown() = 0;
};

struct TlsHandshake {
    std::unique_ptr<TlsStream> stream;  // null on failure
    TlsFailure failure = TlsFailure::kNone;
    std::string detail;                 // backend text for diagnostics (may be empty)
    // When asked: "TLSv1.3, TLS_AES_256_GCM_SHA384, CN=mail.example.org".
    std::string summary;
};

// Runs the client handshake over transport (which must outlive the stream)
// and verifies the peer as settings ask.
TlsHandshake tls_client_handshake(RawTransport& transport, const TlsSettings& settings);

// "OpenSSL 3.0.x", "SChannel" or "none".
const char* tls_backend_name();

// Whether host is an IPv4 or IPv6 address literal (IPv6 possibly in
// brackets) rather than a DNS name. Such a host gets no SNI and must match
// an IP address of the certificate, not a DNS name.
bool is_ip_literal(const std::string& host);

// The address an IP literal host stands for, in network byte order: 4 bytes
// for IPv4, 16 for IPv6 (so "0:0::1" and "[::1]" give the same); empty for a
// host that is no address literal.
std::string ip_literal_address(const std::string& host);

// host without the brackets of a bracketed IPv6 literal.
std::string unbracketed(const std::string& host);

}  // namespace brevorin::platform
