// What every layer below the exports needs to know about the call it works
// for: where diagnostics go, the host's character set and the session's
// options. The session owns one; workers borrow it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/charset.h"
#include "core/diag.h"
#include "core/failure.h"
#include "core/limits.h"
#include "core/options.h"
#include "core/status.h"

namespace brevorin {

// Told the bytes received and sent on the current connection as they move.
using ProgressHook = std::function<void(uint64_t received, uint64_t sent)>;

// Watches what a connection says and hears, for a transcript. Protocol
// lines arrive in pieces that may split or join lines (a line ends at its
// line feed); message data arrives only as a byte count, so that watching
// a large message costs nothing and shows none of its content.
class WireObserver {
  public:
    virtual ~WireObserver() = default;
    // Bytes written; a secret piece (a password, a SASL response) holds
    // what must never be shown, its line's CR LF excluded.
    virtual void sent(const char* data, size_t n, bool secret) = 0;
    virtual void received(const char* data, size_t n) = 0;
    // The size of a message's data that went (outgoing) or came as a whole.
    virtual void payload(bool outgoing, uint64_t bytes) = 0;
    // A TLS handshake that succeeded: protocol version, cipher and the
    // server certificate's subject.
    virtual void tls(const char* summary) = 0;
};

struct Context {
    Diag diag;
    int charset = kUsAscii;
    SessionOptions options;
    ProgressHook progress;
    WireObserver* wire = nullptr;      // none: no transcript, no cost
    std::string host_version;          // the host runtime version, named in X-Mailer
    FailureRecord* failure = nullptr;  // the session's, when it keeps one

    void note_failure(Failure kind, int error = 0, const std::string& path = std::string()) const {
        if (failure != nullptr) failure->note(kind, error, path);
    }
};

}  // namespace brevorin
