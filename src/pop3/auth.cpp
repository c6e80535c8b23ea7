#include "pop3/auth.h"

#include <cstring>

#include "core/text.h"
#include "net/reply.h"
#include "net/sasl.h"
#include "net/secure.h"
#include "platform/sleep.h"
#include "pop3/session.h"

namespace brevorin {

namespace {

AuthResult user_pass(Mailbox& box, const char* user, const char* password, const char* then,
                     std::string& reply) {
    const Context& ctx = box.ctx;
    std::string text;
    const std::string user_line = std::string("USER ") + user + "\r\n";
    std::string line = std::string("PASS ") + password + "\r\n";
    bool sent = true;
    if (then != nullptr) {
        // A server that pipelines reads the commands one after another: a
        // refused USER makes PASS fail too, and both answers come back.
        // Written apart while corked, so that they still leave as one write
        // and a transcript can hide the password alone.
        box.connection.cork();
        sent = send_command(box.connection, user_line);
        box.connection.conceal_next(5);
        sent = send_command(box.connection, line) && sent;
        sent = send_command(box.connection, then) && sent;
        sent = box.connection.uncork() == 0 && sent;
        wipe(line);
        if (!sent) return AuthResult::kRefused;
    }
    StatusLine user_status =
        then != nullptr ? read_status(box.connection, ctx, &text) : command(box, user_line, &text);
    if (user_status != StatusLine::kOk) {
        wipe(line);
        return AuthResult::kRefused;
    }
    if (!text.empty())
        ctx.diag.print('D', 0, "POP3_GETAUTH: Message from server after USER command: %s",
                       text.c_str());
    if (then == nullptr) {
        box.connection.conceal_next(5);
        sent = send_command(box.connection, line);
        wipe(line);
    }
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

// AUTH with an initial response (RFC 5034) when it fits the AUTH line; a
// large bearer token goes after the server's continuation request.
class Pop3Sasl : public sasl::Peer {
  public:
    Pop3Sasl(Mailbox& box, std::string& reply) : box_(box), reply_(reply) {}
    std::string command(const char* mechanism) override { return std::string("AUTH ") + mechanism; }
    size_t initial_response_limit() const override { return kMaxInitialResponseLine; }
    bool send(const std::string& line) override { return send_command(box_.connection, line); }
    void conceal_next(size_t from) override { box_.connection.conceal_next(from); }
    sasl::Answer read() override {
        if (read_reply_line(box_.connection, line_) != LineRead::kLine) return sasl::Answer::kLost;
        return is_continuation(line_) ? sasl::Answer::kContinue : sasl::Answer::kFinal;
    }
    sasl::Answer read_verdict() override {
        return read_status(box_.connection, box_.ctx, &reply_) == StatusLine::kFailed
                   ? sasl::Answer::kLost
                   : sasl::Answer::kFinal;
    }
    void challenged() override {
        box_.ctx.diag.print('D', 0, "POP3_AUTH: Challenge from server: %s", line_.c_str());
    }
    // The last line read.
    const std::string& line() const { return line_; }

  private:
    Mailbox& box_;
    std::string& reply_;
    std::string line_;
};

AuthResult sasl_logon(Mailbox& box, sasl::Mechanism mechanism, const char* user,
                      const char* password, std::string& reply) {
    Pop3Sasl peer(box, reply);
    switch (sasl::run(peer, mechanism, user, password)) {
        case sasl::Outcome::kLost:
            return AuthResult::kLost;
        case sasl::Outcome::kChallenged:
            return AuthResult::kRefused;
        case sasl::Outcome::kAnswered:
            break;
    }
    const std::string& first = peer.line();
    bool ok = first.compare(0, 3, "+OK") == 0;
    size_t text_start = first.find(' ');
    reply = text_start == std::string::npos ? std::string() : first.substr(text_start + 1);
    box.ctx.diag.print('D', 0, "POP3_AUTH: %s answered: %s", sasl::name(mechanism), first.c_str());
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

AuthResult authenticate(Mailbox& box, const char* user, const char* password, const char* then,
                        std::string& reply) {
    switch (box.ctx.options.mail_auth) {
        case MailAuth::kPassword:
            return user_pass(box, user, password, then, reply);
        case MailAuth::kPlain:
            return sasl_logon(box, sasl::Mechanism::kPlain, user, password, reply);
        case MailAuth::kXoauth2:
            return sasl_logon(box, sasl::Mechanism::kXoauth2, user, password, reply);
    }
    return AuthResult::kRefused;
}

}  // namespace brevorin
