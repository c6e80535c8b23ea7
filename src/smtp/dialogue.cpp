#include "smtp/dialogue.h"

#include <cstdio>
#include <cstring>

#include "api/text.h"
#include "net/transport.h"
#include "platform/sockets.h"

namespace brevorin {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

int send_command(int sock, const char* command) {
    int length = static_cast<int>(std::strlen(command));
    return sock_write(sock, command, length) == length ? 0 : -1;
}

// Takes the rest of an over-long line off the connection, so that the next
// read starts at the next line.
int skip_rest_of_line(int sock, const MailSession* session) {
    char rest[kCommandBuffer];
    while (true) {
        int n = sock_read_line(sock, rest, kReplyCapacity, session);
        if (n < 0) return -1;
        if (n > 0 && rest[n - 1] == '\n') return 0;
    }
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

// Formats "<verb><address>>" CR LF; false when the address is missing or the
// command would not fit its buffer.
bool format_address_command(const char* verb, const char* address, size_t max_length,
                            char (&command)[kCommandBuffer]) {
    if (address == nullptr || std::strlen(address) > max_length) return false;
    std::snprintf(command, sizeof command, "%s%s>\r\n", verb, address);
    return true;
}

}  // namespace

int read_reply_line(int sock, ReplyLine& line, const MailSession* session) {
    char buffer[kCommandBuffer];
    int n = sock_read_line(sock, buffer, kReplyCapacity, session);
    if (n < 0) {
        diag_print(session, 'E', 1, "SMTP_READLINE: Error in reading socket: %d", sock_error());
        return -1;
    }
    if (n == kReplyCapacity - 1 && buffer[n - 1] != '\n' && skip_rest_of_line(sock, session) != 0) {
        diag_print(session, 'E', 1, "SMTP_READLINE: Error in reading socket: %d", sock_error());
        return -1;
    }
    if (!is_digit(buffer[0])) return -1;
    const char* p = buffer;
    while (is_digit(*p)) ++p;
    std::string digits(buffer, static_cast<size_t>(p - buffer));
    line.code = parse_int_like_atoi(digits.c_str());
    line.more = *p == '-';
    if (*p != '\0') ++p;
    line.text = p;
    diag_print(session, 'D', 0, "SMTP_READLINE: Code: %d, received buffer: %s", line.code,
               line.text.c_str());
    return n;
}

int read_reply(int sock, int* code, std::string* text, size_t capacity,
                  const MailSession* session) {
    ReplyLine line;
    int n;
    do {
        n = read_reply_line(sock, line, session);
        if (n < 0) return -1;
        if (text != nullptr && line.text.size() > capacity) {
            diag_print(session, 'E', 1, "SMTP-READLINE: Argbuf too small");
            return -1;
        }
    } while (line.more);
    *code = line.code;
    if (text != nullptr) *text = line.text;
    return n;
}

int send_helo(int sock, const MailSession* session) {
    char command[kCommandBuffer];
    std::snprintf(command, sizeof command, "HELO %s\r\n", local_host_name().c_str());
    diag_print(session, 'D', 1, "SMTP_HELO: HELO buffer: %s", command);
    if (send_command(sock, command) != 0) return -1;
    int code = 0;
    std::string reply;
    int status = read_reply(sock, &code, &reply, kReplyCapacity, session);
    if (status < 0) return -1;
    diag_print(session, 'D', 0,
               "SMTP_HELO: Parsed response from server, code: %d, status: %d, response: %s", code,
               status, reply.c_str());
    return code == 250 ? 0 : -1;
}

int send_mail_from(int sock, const char* address, const MailSession* session) {
    char command[kCommandBuffer];
    if (!format_address_command("MAIL FROM: <", address, kMaxSenderLength, command)) return -1;
    int length = static_cast<int>(std::strlen(command));
    int written = sock_write(sock, command, length);
    diag_print(session, 'F', 2, "SMTP_FROM: Written from command, status: %d", written);
    return written == length ? 0 : -1;
}

int send_rcpt_to(int sock, const char* address, const MailSession* session) {
    char command[kCommandBuffer];
    if (!format_address_command("RCPT TO: <", address, kMaxRecipientLength, command)) return -1;
    int length = static_cast<int>(std::strlen(command));
    int written = sock_write(sock, command, length);
    diag_print(session, 'F', 2, "SMTP_TO Written to command, status: %d", written);
    return written == length ? 0 : -1;
}

int send_data(int sock, const MailSession* session) {
    int written = sock_write(sock, "DATA\r\n", 6);
    diag_print(session, 'F', 2, "SMTP_DATE: Written data command, status = %d", written);
    return written == 6 ? 0 : -1;
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
