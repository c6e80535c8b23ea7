#include "mailbox/visit.h"

#include <cstring>
#include <utility>

#include "core/limits.h"
#include "net/secure.h"

namespace brevorin {

namespace {

bool holds_line_break(const char* text) {
    return std::strpbrk(text, "\r\n") != nullptr;
}

// Checks the caller's logon texts before anything is sent: they must be
// given, fit the command buffers, and hold no line break that would let them
// inject further commands. The password is never shown.
bool logon_input_acceptable(const char* server, const char* user, const char* password,
                            const Context& ctx) {
    if (server == nullptr || user == nullptr || password == nullptr) {
        ctx.diag.print('E', 1, "LOGONMAIL: Refused: server, user or password missing");
        return false;
    }
    if (std::strlen(user) > kMaxUserLength) {
        ctx.diag.print('E', 1, "LOGONMAIL: Refused: user name longer than %d characters",
                       kMaxUserLength);
        return false;
    }
    // A bearer token is sent as a SASL response, not on a PASS line.
    const bool token = ctx.options.mail_auth == MailAuth::kXoauth2;
    const size_t secret_limit = token ? kMaxBearerTokenLength : kMaxPasswordLength;
    if (std::strlen(password) > secret_limit) {
        ctx.diag.print('E', 1, "LOGONMAIL: Refused: password longer than %d characters",
                       static_cast<int>(secret_limit));
        return false;
    }
    if (holds_line_break(user)) {
        ctx.diag.print('E', 1, "LOGONMAIL: Refused: user name holds a line break");
        return false;
    }
    if (holds_line_break(password)) {
        ctx.diag.print('E', 1, "LOGONMAIL: Refused: password holds a line break");
        return false;
    }
    return true;
}

}  // namespace

int prepare_logon(const Context& ctx, const char* server, const char* user, const char* password,
                  int plain_port, int tls_port, bool legacy_logon, ServerAddress& address) {
    if (!logon_input_acceptable(server, user, password, ctx)) return kInvalid;
    bool implicit_tls = ctx.options.security == Security::kImplicitTls;
    if (!split_server(server, implicit_tls ? tls_port : plain_port, address)) {
        ctx.diag.print('E', 1, "LOGONMAIL: Refused: host name longer than %d characters",
                       static_cast<int>(kMaxHostLength));
        return kInvalid;
    }
    if (!credentials_may_go(ctx, legacy_logon, "LOGONMAIL")) return kInvalid;
    if (address.port_given)
        ctx.diag.print('F', 0, "LOGONMAIL: Using port: %d in stead of default port", address.port);
    ctx.diag.print('F', 1, "LOGONMAIL: Opening connection with server: %s and port: %d",
                   address.host.c_str(), address.port);
    return kOk;
}

int logon(Mailbox& box, std::unique_ptr<MailboxProtocol> protocol, const char* server,
          const char* user, const char* password) {
    if (box.logged_on) return kLoggedOn;
    box.protocol = std::move(protocol);
    return box.protocol->logon(box, server, user, password);
}

int logoff(Mailbox& box) {
    if (!box.logged_on) return kNotLoggedOn;
    return box.protocol->logoff(box);
}

int delete_message(Mailbox& box, int message) {
    if (!box.logged_on) return kNotLoggedOn;
    if (!box.is_present(message)) return kNoMessage;
    return box.protocol->remove(box, message);
}

void forget_message(Mailbox& box, int number) {
    box.ctx.diag.print('F', 0, "FREE_MESSAGE: freeing message number: %d", number);
    if (number < 0 || static_cast<size_t>(number) >= box.states.size()) return;
    box.states[number] = MessageState{};
    box.entries.erase(number);
}

int tear_down(Mailbox& box) {
    // One line for the whole table: a line per message would be millions
    // for a server that claims millions of messages.
    box.ctx.diag.print('F', 0, "FREE_CONTEXT: Cleaning context");
    box.states.clear();
    box.states.shrink_to_fit();
    box.entries.clear();
    int result = box.connection.close();
    box.logged_on = false;
    box.mailbox_octets = -1;
    box.message_count = -1;
    if (box.protocol) box.protocol->end_visit();
    return result;
}

bool is_network_error(const Mailbox& box) {
    if (!box.connection.broken()) return false;
    box.ctx.diag.print('F', 1, "NETWORK_ERROR: network error has occurred");
    return true;
}

}  // namespace brevorin
