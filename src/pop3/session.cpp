#include "pop3/session.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/text.h"
#include "net/data_lines.h"
#include "net/reply.h"
#include "net/server_address.h"
#include "platform/sleep.h"
#include "platform/sockets.h"
#include "pop3/auth.h"

namespace brevorin {

namespace {

constexpr int kPop3Port = 110;

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A POP3 status reply is one line beginning with '+' or '-'.
class StatusProtocol final : public ReplyProtocol {
  public:
    LineVerdict take(const std::string& line) override {
        line_ = line;
        return !line.empty() && (line[0] == '+' || line[0] == '-') ? LineVerdict::kFinal
                                                                   : LineVerdict::kMalformed;
    }
    const std::string& line() const { return line_; }

  private:
    std::string line_;
};

// One number of a STAT or LIST answer the way "%d" reads it (leading white
// space, optional sign, digits), clamped to int32 instead of wrapping.
bool read_stat_numbers(const std::string& text, long long& count, long long& octets) {
    const char* cursor = text.c_str();
    return read_decimal(cursor, count) && read_decimal(cursor, octets);
}

enum class StatResult { kOk, kFailed, kRefusedCount };

// STAT, or only its answer when it went out with the sign-in.
StatResult read_stat(Mailbox& box, bool sent) {
    const Context& ctx = box.ctx;
    if (!sent && !box.connection.write_text("STAT\r\n")) return StatResult::kFailed;
    ctx.diag.print('F', 2, "POP3_GETRANGE; Going to send STAT command");
    std::string reply;
    if (read_status(box.connection, ctx, &reply) != StatusLine::kOk) return StatResult::kFailed;
    if (!reply.empty())
        ctx.diag.print('D', 0, "POP3_GETRANGE: Response from server: %s", reply.c_str());
    long long count = 0;
    long long octets = 0;
    if (!read_stat_numbers(reply, count, octets)) {
        ctx.diag.print('E', 1, "POP3_GETRANGE: Response from server not parsable");
        return StatResult::kFailed;
    }
    ctx.diag.print('D', 0, "POP3_GETRANGE: Received countp=%d, bytes=%d", clamp_int32(count),
                   clamp_int32(octets));
    if (count < 0 || count > kMaxMessages) {
        ctx.diag.print('E', 1, "LOGONMAIL: Refused: server claims %lld messages (at most %d)",
                       count, static_cast<int>(kMaxMessages));
        return StatResult::kRefusedCount;
    }
    box.message_count = static_cast<int32_t>(count);
    box.mailbox_octets = clamp_int32(octets);
    return StatResult::kOk;
}

enum class Capabilities { kRead, kRefused, kFailed };

// CAPA (RFC 2449): whether the server lists PIPELINING.
Capabilities read_capabilities(Mailbox& box, bool& pipelining) {
    pipelining = false;
    if (!send_command(box.connection, "CAPA\r\n")) return Capabilities::kFailed;
    StatusLine status = read_status(box.connection, box.ctx, nullptr);
    if (status == StatusLine::kFailed) return Capabilities::kFailed;
    if (status != StatusLine::kOk) return Capabilities::kRefused;
    // The list is a reply like any other: it ends within the timeout.
    ReplyBound bound(box.connection);
    DataLineReader reader(box.connection);
    while (true) {
        LineSource::Next r = reader.next();
        if (r == LineSource::Next::kEnd) break;
        if (r != LineSource::Next::kLine) return Capabilities::kFailed;
        std::string word = upper_case_copy(std::string(reader.data(), reader.size()));
        size_t end = word.find_first_of(" \r\n");
        if (reader.starts_line() && word.substr(0, end) == "PIPELINING") pipelining = true;
    }
    box.ctx.diag.print('F', 1, "LOGONMAIL: Server %s pipelining",
                       pipelining ? "offers" : "does not offer");
    return Capabilities::kRead;
}

}  // namespace

StatusLine read_status(Connection& connection, const Context& ctx, std::string* text,
                       size_t capacity) {
    StatusProtocol protocol;
    ReplyRead r = read_reply(connection, protocol, 1);
    if (text != nullptr) text->clear();
    if (r == ReplyRead::kFailed) {
        ctx.diag.print('D', 0, "POP3_OK: Error, = %d", -1);
        ctx.diag.print('D', 0, "POP3OK: Received buffer: %s", "");
        return StatusLine::kFailed;
    }
    if (r != ReplyRead::kComplete) return StatusLine::kNegative;
    const std::string& line = protocol.line();
    // The status word is the sign and the letters after it; the one
    // character behind it is a separator unless the line ends there.
    size_t word_end = 1;
    while (word_end < line.size() && is_letter(line[word_end])) ++word_end;
    size_t text_start = word_end < line.size() ? word_end + 1 : word_end;
    bool ok = word_end == 3 && line.compare(0, 3, "+OK") == 0;
    if (text != nullptr) {
        if (line.size() - text_start > capacity) {
            ctx.diag.print('E', 1, "POP3_OK: Buffer too small");
            return StatusLine::kNegative;
        }
        text->assign(line, text_start, std::string::npos);
    }
    ctx.diag.print('D', 0, "POP3OK: Received buffer: %s", text != nullptr ? text->c_str() : "");
    return ok ? StatusLine::kOk : StatusLine::kNegative;
}

StatusLine command(Mailbox& box, const std::string& line, std::string* text) {
    if (!send_command(box.connection, line)) return StatusLine::kFailed;
    return read_status(box.connection, box.ctx, text);
}

namespace {

// Connects, secures the connection as the session asks and reads the
// greeting: kOk, or the status with the connection closed.
int connect_and_greet(Mailbox& box, const ServerAddress& address, bool implicit_tls) {
    const Context& ctx = box.ctx;
    Connection& connection = box.connection;
    if (!connection.open(address.host.c_str(), address.port)) {
        ctx.diag.print('F', 1, "LOGONMAIL: Exit because of socket error");
        return kNetwork;
    }
    ctx.diag.print('F', 1, "LOGONMAIL: Opened socket, nr: %d\n", connection.socket());
    if (implicit_tls && !secure_connection(box, address.host)) {
        connection.close();
        return kNetwork;
    }
    std::string reply;
    if (read_status(connection, ctx, &reply) != StatusLine::kOk) {
        ctx.diag.print('E', 1, "LOGONMAIL: Exit because of erronous server response");
        if (!reply.empty()) ctx.diag.print('D', 0, "LOGONMAIL: Server response: %s", reply.c_str());
        connection.close();
        return kNetwork;
    }
    ctx.diag.print('D', 0, "LOGONMAIL: Got reply from server: %s", reply.c_str());
    if (ctx.options.security == Security::kStartTls && !start_tls(box, address.host)) {
        connection.close();
        return kNetwork;
    }
    return kOk;
}

// USER/PASS or AUTH, with then in the same write where authenticate
// takes it: kOk, or the status with the connection closed.
int sign_in(Mailbox& box, const char* user, const char* password, const char* then) {
    const Context& ctx = box.ctx;
    std::string reply;
    switch (authenticate(box, user, password, then, reply)) {
        case AuthResult::kOk:
            ctx.diag.print('D', 0, "LOGONMAIL: Got authorization reply from server: %s",
                           reply.c_str());
            return kOk;
        case AuthResult::kLost:
            ctx.diag.print('E', 1, "LOGONMAIL: Exit because of authorization fault");
            box.connection.close();
            return kNetwork;
        case AuthResult::kRefused:
            ctx.note_failure(Failure::kAuth);
            ctx.diag.print('E', 1, "LOGONMAIL: Exit because of authorization fault");
            if (!reply.empty())
                ctx.diag.print('D', 0, "LOGONMAIL: Server response: %s", reply.c_str());
            box.connection.close();
            return kRefused;
    }
    return kRefused;
}

// Gives up on the mailbox after the table was begun: the status.
int drop_table(Mailbox& box, int status) {
    box.states.clear();
    box.message_count = -1;
    box.mailbox_octets = -1;
    box.connection.close();
    return status;
}

// With pipelining=auto, CAPA, asked before the sign-in so that the sign-in
// can use what it says: kOk, or the status with the connection closed.
int learn_capabilities(Mailbox& box, Pop3Visit& visit) {
    visit.pipelining = false;
    visit.deleted = false;
    visit.top_support = TopSupport::kUnknown;
    if (box.ctx.options.pipelining != Pipelining::kAuto) return kOk;
    bool offered = false;
    switch (read_capabilities(box, offered)) {
        case Capabilities::kRead:
            visit.pipelining = offered;
            break;
        case Capabilities::kRefused:
            break;
        case Capabilities::kFailed:
            box.connection.close();
            return kNetwork;
    }
    return kOk;
}

// STAT (sent already with the sign-in when stat_sent) and the message
// table: kOk, or the status with the connection closed.
int learn_mailbox(Mailbox& box, bool stat_sent) {
    const Context& ctx = box.ctx;
    switch (read_stat(box, stat_sent)) {
        case StatResult::kOk:
            break;
        case StatResult::kFailed:
            box.connection.close();
            return kNetwork;
        case StatResult::kRefusedCount:
            return drop_table(box, kNoTable);
    }
    try {
        box.states.assign(static_cast<size_t>(box.message_count) + 1, MessageState{});
    } catch (const std::exception&) {  // bad_alloc
        ctx.diag.print('E', 1, "LOGONMAIL: No memory for a table of %d messages",
                       static_cast<int>(box.message_count));
        return drop_table(box, kNoTable);
    }
    return kOk;
}

}  // namespace

namespace pop3 {

int logon(Mailbox& box, Pop3Visit& visit, const char* server, const char* user,
          const char* password) {
    if (box.logged_on) return kLoggedOn;
    ServerAddress address;
    // Only USER/PASS has always gone out in the clear, and hosts of old
    // rely on it.
    const bool legacy = box.ctx.options.mail_auth == MailAuth::kPassword;
    int status =
        prepare_logon(box.ctx, server, user, password, kPop3Port, kPop3sPort, legacy, address);
    if (status != kOk) return status;
    status = connect_and_greet(box, address, box.ctx.options.security == Security::kImplicitTls);
    if (status == kOk) status = learn_capabilities(box, visit);
    // A server that pipelines takes USER and PASS in one write, and STAT
    // with them unless the pause after the sign-in must come before it.
    const SessionOptions& options = box.ctx.options;
    const bool batched = visit.pipelining && options.mail_auth == MailAuth::kPassword;
    const bool stat_sent = batched && options.logon_pause_ms == 0;
    if (status == kOk)
        status = sign_in(box, user, password, !batched ? nullptr : stat_sent ? "STAT\r\n" : "");
    if (status == kOk) status = learn_mailbox(box, stat_sent);
    if (status != kOk) return status;
    for (size_t n = 1; n < box.states.size(); ++n) box.states[n].present = true;
    box.entries.clear();
    box.logged_on = true;
    return kOk;
}

int logoff(Mailbox& box, bool await_answer) {
    const Context& ctx = box.ctx;
    if (!box.logged_on) return kNotLoggedOn;
    if (!box.connection.write_text("QUIT\r\n")) {
        tear_down(box);
        return kNetwork;
    }
    ctx.diag.print('D', 1, "LOGOFFMAIL: Sent QUIT to server");
    if (!await_answer) return tear_down(box) == 0 ? kOk : kNetwork;
    std::string reply;
    StatusLine ok = read_status(box.connection, ctx, &reply);
    if (!reply.empty()) ctx.diag.print('D', 0, "LOGOFFMAIL: Reply from server: %s", reply.c_str());
    if (ok == StatusLine::kFailed || ok == StatusLine::kNegative) {
        tear_down(box);
        return kNetwork;
    }
    return tear_down(box) == 0 ? kOk : kNetwork;
}

int delete_message(Mailbox& box, int message) {
    const Context& ctx = box.ctx;
    if (!box.logged_on) return kNotLoggedOn;
    if (!box.is_present(message)) return kNoMessage;
    char line[kCommandBuffer];
    std::snprintf(line, sizeof line, "DELE %d\r\n", message);
    if (!send_command(box.connection, line)) {
        tear_down(box);
        return kNetwork;
    }
    ctx.diag.print('F', 2, "DELETEMAIL: Sent DELETE command to server for message: %d", message);
    std::string reply;
    if (read_status(box.connection, ctx, &reply) == StatusLine::kOk) {
        if (!reply.empty())
            ctx.diag.print('D', 0, "DELETEMAIL: Received response from server: %s", reply.c_str());
        forget_message(box, message);
        return kOk;
    }
    if (is_network_error(box)) {
        tear_down(box);
        return kNetwork;
    }
    return kNoMessage;
}

}  // namespace pop3

}  // namespace brevorin
