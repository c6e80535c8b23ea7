// What every layer below the exports needs to know about the call it works
// for: where diagnostics go, the host's character set and the session's
// options. The session owns one; workers borrow it.
#pragma once

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

struct Context {
    Diag diag;
    int charset = kUsAscii;
    SessionOptions options;
    ProgressHook progress;
    std::string host_version;          // the host runtime version, named in X-Mailer
    FailureRecord* failure = nullptr;  // the session's, when it keeps one

    void note_failure(Failure kind, int error = 0, const std::string& path = std::string()) const {
        if (failure != nullptr) failure->note(kind, error, path);
    }
};

}  // namespace brevorin
