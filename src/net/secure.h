// TLS on a connection as the session's options ask, shared by POP3, IMAP and SMTP.
#pragma once

#include <string>

#include "net/connection.h"

namespace brevorin {

// Handshakes and verifies; false (E1 line naming the reason, socket error
// set) when the connection cannot be secured. tag names the operation in
// the diagnostics line ("LOGONMAIL", "SENDMAIL").
bool secure_connection(Connection& connection, const Context& ctx, const std::string& host,
                       const char* tag);

// Whether credentials may be sent given the options, checked before
// connecting. Without TLS they travel readable; only the classic USER/PASS
// logon (legacy) goes without TLS unless the caller allowed plaintext.
bool credentials_may_go(const Context& ctx, bool legacy_logon, const char* tag);

}  // namespace brevorin
