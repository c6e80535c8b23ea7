#include "smtp/dialogue.h"

#include <cstring>

#include "core/text.h"
#include "net/reply.h"
#include "platform/sockets.h"

namespace brevorin {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// An SMTP reply line is a code, '-' when more lines follow, and text.
class SmtpProtocol final : public ReplyProtocol {
public:
    SmtpProtocol(const Context& ctx, SmtpReply& reply) : ctx_(ctx), reply_(reply) {}

    LineVerdict take(const std::string& line) override {
        if (line.empty() || !is_digit(line[0])) return LineVerdict::kMalformed;
        size_t p = 0;
        while (p < line.size() && is_digit(line[p])) ++p;
        reply_.code = parse_int_like_atoi(line.substr(0, p).c_str());
        bool more = p < line.size() && line[p] == '-';
        if (p < line.size()) ++p;
        reply_.text = line.substr(p);
        reply_.last_length = static_cast<int>(line.size());
        reply_.lines.push_back(reply_.text);
        reply_.codes.push_back(reply_.code);
        reply_.lengths.push_back(reply_.last_length);
        ctx_.diag.print('D', 0, "SMTP_READLINE: Code: %d, received buffer: %s", reply_.code,
                        reply_.text.c_str());
        return more ? LineVerdict::kContinues : LineVerdict::kFinal;
    }

private:
    const Context& ctx_;
    SmtpReply& reply_;
};

}  // namespace

ReplyStatus read_smtp_reply(Connection& connection, const Context& ctx, SmtpReply& reply) {
    reply = SmtpReply{};
    SmtpProtocol protocol(ctx, reply);
    switch (read_reply(connection, protocol)) {
        case ReplyRead::kComplete:
            return ReplyStatus::kOk;
        case ReplyRead::kMalformed:
            return ReplyStatus::kMalformed;
        case ReplyRead::kTooLong:
            ctx.diag.print('E', 1, "SMTP_READLINE: Reply longer than %d lines", kMaxReplyLines);
            Connection::set_last_error(platform::kWsaEconnaborted);
            return ReplyStatus::kFailed;
        case ReplyRead::kFailed:
            break;
    }
    ctx.diag.print('E', 1, "SMTP_READLINE: Error in reading socket: %d", Connection::last_error());
    return ReplyStatus::kFailed;
}

std::string local_host_name() {
    char name[kReplyCapacity + 1] = {};
    if (platform::socket_api().gethostname(name, kReplyCapacity) != 0) return kFallbackHeloName;
    name[kReplyCapacity] = '\0';
    size_t length = std::strlen(name);
    if (length == 0 || length > kMaxHeloNameLength || std::strpbrk(name, "\r\n") != nullptr)
        return kFallbackHeloName;
    return name;
}

std::optional<std::string> address_command(const char* verb, const char* address,
                                           size_t max_length) {
    if (address == nullptr || std::strlen(address) > max_length) return std::nullopt;
    return std::string(verb) + address + ">\r\n";
}

std::optional<std::string> next_recipient(std::string_view list, size_t& consumed) {
    consumed = 0;
    if (list.empty()) return std::nullopt;
    size_t start = list[0] == ',' ? 1 : 0;
    size_t comma = list.find(',', start);
    size_t end = comma == std::string_view::npos ? list.size() : comma;
    consumed = end;
    return std::string(list.substr(start, end - start));
}

}  // namespace brevorin
