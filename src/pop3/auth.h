// Securing and authenticating a POP3 logon: STLS (RFC 2595), implicit TLS,
// USER/PASS, AUTH PLAIN (RFC 5034) and AUTH XOAUTH2.
#pragma once

#include <string>

#include "mailbox/mailbox.h"

namespace brevorin {

constexpr int kPop3sPort = 995;

// TLS from the first byte, before the greeting.
bool secure_connection(Mailbox& box, const std::string& host);
// STLS after the greeting; false when the server does not offer it, refuses
// it or the handshake fails: nothing else is sent then.
bool start_tls(Mailbox& box, const std::string& host);

enum class AuthResult { kOk, kRefused, kLost };

// Logs on with the mechanism of the options. reply receives the server's
// last status text. With then (not null: the server pipelines and the
// options ask USER/PASS), USER, PASS and then go out in one write, and
// then's answer is left for the caller.
AuthResult authenticate(Mailbox& box, const char* user, const char* password, const char* then,
                        std::string& reply);

}  // namespace brevorin
