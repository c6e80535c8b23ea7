#include "pop3/auth.h"

#include <cstring>

#include "codec/base64.h"
#include "core/text.h"
#include "net/reply.h"
#include "net/secure.h"
#include "platform/sleep.h"
#include "pop3/session.h"

namespace brevorin {

namespace {

AuthResult user_pass(Mailbox& box, const char* user, const char* password, std::string& reply) {
    const Context& ctx = box.ctx;
    std::string text;
    if (command(box, std::string("USER ") + user + "\r\n", &text) != StatusLine::kOk)
        return AuthResult::kRefused;
    if (!text.empty())
        ctx.diag.print('D', 0, "POP3_GETAUTH: Message from server after USER command: %s",
                       text.c_str());
    std::string line = std::string("PASS ") + password + "\r\n";
    bool sent = send_command(box.connection, line);
    wipe(line);
    if (!sent) return AuthResult::kRefused;
    if (read_status(box.connection, ctx, &reply) != StatusLine::kOk) return AuthResult::kRefused;
    if (!reply.empty())
        ctx.diag.print('D', 0, "POP3_GETAUTH: Message from server after PASS: %s", reply.c_str());
    platform::sleep_ms(ctx.options.logon_pause_ms);
    return AuthResult::kOk;
}

bool is_continuation(const std::string& line) {
    return !line.empty() && line[0] == '+' && line.compare(0, 3, "+OK") != 0;
}

// AUTH with an initial response (RFC 5034), or, for a response too long
// for the AUTH line (a large bearer token), AUTH alone and the response
// after the server's continuation request. A server that answers the
// response with a challenge ("+ ...", XOAUTH2's error report) gets the
// empty response that ends the exchange, then its verdict is read.
AuthResult sasl(Mailbox& box, const char* mechanism, std::string response, std::string& reply) {
    const Context& ctx = box.ctx;
    std::string encoded = base64_encode_bytes(response);
    wipe(response);
    std::string line = std::string("AUTH ") + mechanism;
    const bool initial = line.size() + 1 + encoded.size() + 2 <= kMaxInitialResponseLine;
    line += initial ? " " + encoded + "\r\n" : std::string("\r\n");
    bool sent = send_command(box.connection, line);
    wipe(line);
    std::string first;
    if (!sent || read_reply_line(box.connection, first) != LineRead::kLine)
        return AuthResult::kLost;
    if (!initial && is_continuation(first)) {
        // The server asks for the response; anything else is its verdict.
        encoded += "\r\n";
        sent = send_command(box.connection, encoded);
        wipe(encoded);
        if (!sent || read_reply_line(box.connection, first) != LineRead::kLine)
            return AuthResult::kLost;
    }
    wipe(encoded);
    if (is_continuation(first)) {
        ctx.diag.print('D', 0, "POP3_AUTH: Challenge from server: %s", first.c_str());
        if (!send_command(box.connection, "\r\n")) return AuthResult::kLost;
        StatusLine verdict = read_status(box.connection, ctx, &reply);
        if (verdict == StatusLine::kFailed) return AuthResult::kLost;
        return AuthResult::kRefused;  // a challenge after the response is a refusal
    }
    bool ok = first.compare(0, 3, "+OK") == 0;
    size_t text_start = first.find(' ');
    reply = text_start == std::string::npos ? std::string() : first.substr(text_start + 1);
    ctx.diag.print('D', 0, "POP3_AUTH: %s answered: %s", mechanism, first.c_str());
    return ok ? AuthResult::kOk : AuthResult::kRefused;
}

}  // namespace

bool secure_connection(Mailbox& box, const std::string& host) {
    return secure_connection(box.connection, box.ctx, host, "LOGONMAIL");
}

bool start_tls(Mailbox& box, const std::string& host) {
    const Context& ctx = box.ctx;
    std::string reply;
    StatusLine status = command(box, "STLS\r\n", &reply);
    if (status != StatusLine::kOk) {
        ctx.diag.print('E', 1, "LOGONMAIL: Server refused STLS: %s",
                       status == StatusLine::kFailed ? "connection lost" : reply.c_str());
        if (status != StatusLine::kFailed) ctx.note_failure(Failure::kTls);
        return false;
    }
    return secure_connection(box.connection, ctx, host, "LOGONMAIL");
}

bool credentials_may_go(const Context& ctx, const char* tag) {
    // Only POP3's USER/PASS has always gone out in the clear, and hosts of
    // old rely on it; IMAP's LOGIN never had that excuse.
    const bool legacy =
        ctx.options.protocol == MailProtocol::kPop3 && ctx.options.pop3_auth == Pop3Auth::kUser;
    return credentials_may_go(ctx, legacy, tag);
}

AuthResult authenticate(Mailbox& box, const char* user, const char* password, std::string& reply) {
    switch (box.ctx.options.pop3_auth) {
        case Pop3Auth::kUser:
            return user_pass(box, user, password, reply);
        case Pop3Auth::kPlain:
            return sasl(box, "PLAIN", std::string(1, '\0') + user + '\0' + password, reply);
        case Pop3Auth::kXoauth2:
            return sasl(
                box, "XOAUTH2",
                std::string("user=") + user + "\x01" + "auth=Bearer " + password + "\x01\x01",
                reply);
    }
    return AuthResult::kRefused;
}

}  // namespace brevorin
