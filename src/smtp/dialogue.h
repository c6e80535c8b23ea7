// The SMTP commands and replies of one sending: HELO, MAIL FROM, RCPT TO,
// DATA, and the reply reader.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "api/session.h"

namespace brevorin {

// Longest texts whose commands fit the 516-byte command buffer:
// "MAIL FROM: <" address ">" CR LF, "RCPT TO: <" address ">" CR LF and
// "HELO " name CR LF, each with its terminator.
constexpr size_t kMaxSenderLength = kCommandBuffer - 16;     // 500
constexpr size_t kMaxRecipientLength = kCommandBuffer - 14;  // 502
constexpr size_t kMaxHeloNameLength = kCommandBuffer - 8;    // 508

// The HELO name when the sockets layer gives none that fits.
constexpr char kFallbackHeloName[] = "localhost";

// One line of a reply.
struct ReplyLine {
    int code = 0;
    bool more = false;  // "250-...": further lines of the same reply follow
    std::string text;   // after the code and its separator, CR LF kept
};

// Reads one reply line: its character count, or -1 when the read fails or
// the line does not begin with a digit. A line longer than a reply line may
// be is read to its end; its text is what fitted.
int read_reply_line(int sock, ReplyLine& line, const MailSession* session);

// Reads a whole reply, a multi-line one to its last line, and gives the
// code and text of that last line. text may be null; a text longer than
// capacity is a failure. The last line's character count, or -1.
int read_reply(int sock, int* code, std::string* text, size_t capacity,
                  const MailSession* session);

// HELO with the local host name: 0 when the reply is 250, else -1.
int send_helo(int sock, const MailSession* session);
// Write the command only: 0 when it went out whole, -1 otherwise (also for
// no address or one too long for the command buffer).
int send_mail_from(int sock, const char* address, const MailSession* session);
int send_rcpt_to(int sock, const char* address, const MailSession* session);
int send_data(int sock, const MailSession* session);

// The next recipient of a comma-separated list: one leading comma is
// skipped, the recipient runs to the next comma or the end. consumed is set
// to the characters taken, comma included. None for an empty text.
std::optional<std::string> next_recipient(std::string_view list, size_t& consumed);

}  // namespace brevorin
