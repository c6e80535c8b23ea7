// Builds configured without TLS: every handshake reports that no backend is
// there, so a session asking for TLS fails instead of talking in plaintext.
#include "platform/tls.h"

namespace brevorin::platform {

TlsHandshake tls_client_handshake(RawTransport&, const TlsSettings&) {
    TlsHandshake result;
    result.failure = TlsFailure::kUnavailable;
    return result;
}

const char* tls_backend_name() { return "none"; }

const char* describe(TlsFailure failure) {
    switch (failure) {
        case TlsFailure::kNone: return "none";
        case TlsFailure::kUnavailable: return "TLS unavailable";
        case TlsFailure::kCaFile: return "CA file unusable";
        case TlsFailure::kTransport: return "connection failed";
        case TlsFailure::kProtocol: return "protocol";
        case TlsFailure::kUntrusted: return "untrusted issuer";
        case TlsFailure::kNameMismatch: return "name mismatch";
        case TlsFailure::kExpired: return "expired";
    }
    return "unknown";
}

}  // namespace brevorin::platform
