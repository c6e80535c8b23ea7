// The reply engine shared by POP3 and SMTP: sending a command, reading the
// lines of a reply (an over-long line is read to its end and what fitted is
// kept), and reading on while the protocol says the reply continues. A
// protocol supplies only what a line means: whether it ends the reply.
#pragma once

#include <string>
#include <string_view>

#include "net/connection.h"

namespace brevorin {

// A reply line keeps at most this many bytes (CR LF included); the rest of
// a longer line is read and dropped so the next reply starts in step.
constexpr int kReplyLineKept = kReplyCapacity - 1;

// Longest reply the engine reads: a server streaming continuation lines for
// ever gets a broken dialogue, not a hang.
constexpr int kMaxReplyLines = 1000;

enum class LineRead { kLine, kFailed };

// What a protocol makes of one line of a reply.
enum class LineVerdict { kFinal, kContinues, kMalformed };

enum class ReplyRead { kComplete, kMalformed, kFailed, kTooLong };

class ReplyProtocol {
public:
    virtual ~ReplyProtocol() = default;
    // Called for each line in order, CR LF kept.
    virtual LineVerdict take(const std::string& line) = 0;
};

// Sends a whole command: true when every byte went out.
bool send_command(Connection& connection, std::string_view command);

// Reads one reply line into line.
LineRead read_reply_line(Connection& connection, std::string& line);

// Reads lines until the protocol finds the final one.
ReplyRead read_reply(Connection& connection, ReplyProtocol& protocol,
                     int max_lines = kMaxReplyLines);

}  // namespace brevorin
