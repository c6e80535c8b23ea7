// The SMTP commands and replies of one sending: greeting, HELO/EHLO,
// STARTTLS, AUTH, MAIL FROM, RCPT TO, DATA, QUIT, over the reply engine.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/connection.h"
#include "smtp/compose.h"
#include "smtp/lists.h"

namespace brevorin {

// Longest texts whose commands fit the 516-byte command buffer:
// "MAIL FROM: <" address ">" CR LF, "RCPT TO: <" address ">" CR LF and
// "HELO " name CR LF, each with its terminator.
constexpr size_t kMaxSenderLength = kCommandBuffer - 16;     // 500
constexpr size_t kMaxRecipientLength = kCommandBuffer - 14;  // 502
constexpr size_t kMaxHeloNameLength = kCommandBuffer - 8;    // 508

// The HELO name when the sockets layer gives none that fits.
constexpr char kFallbackHeloName[] = "localhost";

// A whole reply: the code and text of its last line, and every line.
struct SmtpReply {
    int code = 0;
    std::string text;                // last line after the code and its separator, CR LF kept
    std::vector<std::string> lines;  // texts of all lines (EHLO keywords)
    std::vector<int> codes;          // the code of each line
    std::vector<int> lengths;        // characters of each line as read
    int last_length = 0;             // characters of the last line as read
};

enum class ReplyStatus { kOk, kFailed, kMalformed };

// Reads a whole reply. Each line is reported in a diagnostics line; a read
// failure gets its E1 line.
ReplyStatus read_smtp_reply(Connection& connection, const Context& ctx, SmtpReply& reply);

// The local host name for HELO/EHLO.
std::string local_host_name();

// Formats "<verb><address>>" CR LF; nullopt when the address is missing or
// the command would not fit its buffer.
std::optional<std::string> address_command(const char* verb, const char* address, size_t max_length,
                                           const std::string& parameters = "");

// The whole dialogue of one sending on an open connection: greeting,
// HELO/EHLO, STARTTLS and AUTH as the session asks, the envelope (pipelined
// where the server offers it), the message and QUIT. The public status.
int run_dialogue(Connection& connection, const std::string& host, const HeaderList& headers,
                 const std::vector<std::string>& recipients, const OutgoingText& text,
                 AttachmentList& attachments, const Context& ctx);

}  // namespace brevorin
