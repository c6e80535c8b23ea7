// The SMTP commands and replies of one sending: greeting, HELO/EHLO,
// STARTTLS, AUTH, MAIL FROM, RCPT TO, DATA, QUIT, over the reply engine.
#pragma once

#include <cstdint>
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

// Largest estimated message that goes as one BDAT chunk, composed in
// memory first; a larger one streams through DATA.
constexpr int64_t kChunkedMessageLimit = 1 << 20;

// What the server offers, learnt from EHLO, and whether the envelope goes
// pipelined; a connection left open keeps it for the messages that follow.
struct SmtpOffer {
    std::vector<std::string> extensions;
    bool pipelining = false;
    bool chunking = false;  // BDAT may carry a message (modern rules only)
};

// What a transaction leaves the connection fit for.
enum class LinkAfter { kClean, kNeedsReset, kUnusable };

struct TransactionOutcome {
    int status = kOk;
    LinkAfter after = LinkAfter::kUnusable;
    bool data_started = false;  // bytes of the message went out: never send it again
};

// Greeting, HELO/EHLO, STARTTLS and AUTH as the session asks, on a freshly
// opened connection. The public status; offer gets what the server offers.
int open_dialogue(Connection& connection, const std::string& host, const Context& ctx,
                  SmtpOffer& offer);

// One message on a greeted connection: the envelope (pipelined where the
// server offers it) and the message. With keep false the connection is
// ended as a single sending always ended it (QUIT after success, and where
// the size is over the server's limit); with keep true nothing ends it, and
// a refusal reads every reply still owed so that the next message starts in
// step.
TransactionOutcome run_transaction(Connection& connection, const SmtpOffer& offer,
                                   const HeaderList& headers,
                                   const std::vector<std::string>& recipients,
                                   const OutgoingText& text, AttachmentList& attachments,
                                   const Context& ctx, bool keep);

// RSET: true when the server is ready for a new transaction.
bool reset_dialogue(Connection& connection, const Context& ctx);

// QUIT and the server's farewell: kOk, or kNetwork when either is lost.
int quit_dialogue(Connection& connection, const Context& ctx);

// The whole dialogue of one sending on an open connection: open_dialogue,
// run_transaction and QUIT. The public status.
int run_dialogue(Connection& connection, const std::string& host, const HeaderList& headers,
                 const std::vector<std::string>& recipients, const OutgoingText& text,
                 AttachmentList& attachments, const Context& ctx);

}  // namespace brevorin
