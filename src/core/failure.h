// Why a call failed, beyond its status: what kind of failure came first,
// the file it concerns and the system's error number. The connection and
// the attachment files note it as it happens; the command-line tool reads
// it instead of guessing from diagnostics text.
#pragma once

#include <string>

namespace brevorin {

enum class Failure {
    kNone,
    kResolve,   // the server's name was not found
    kConnect,   // the connection was refused or the host unreachable
    kTimedOut,  // the server did not answer in time
    kLost,      // the connection broke or was closed by the server
    kTls,       // TLS could not be set up (handshake, certificate, STARTTLS refused)
    kAuth,      // the server refused the credentials
    kNoTls,     // credentials would have gone without TLS, and were kept back
    kFile,      // an attachment file could not be created or written
    kReply,     // the server answered, but with a reply that cannot be read or is no answer
    kOther,     // a socket error outside the above
};

struct FailureRecord {
    Failure kind = Failure::kNone;
    int system_error = 0;  // errno, or the Windows Sockets error number
    std::string path;      // the file, for kFile

    // The first failure of a call is the one that explains it: a timeout
    // stays a timeout although the goodbye after it fails too.
    void note(Failure what, int error, const std::string& file = std::string()) {
        if (kind != Failure::kNone) return;
        kind = what;
        system_error = error;
        path = file;
    }
};

}  // namespace brevorin
