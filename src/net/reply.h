// The reply engine shared by POP3 and SMTP: sending a command, reading the
// lines of a reply (an over-long line is read to its end and what fitted is
// kept), and reading on while the protocol says the reply continues. A
// protocol supplies only what a line means: whether it ends the reply.
#pragma once

#include <string>
#include <string_view>

#include "net/connection.h"

namespace brevorin {

// A reply line keeps at most kReplyCapacity - 1 bytes (CR LF included);
// the rest of a longer line is read and dropped so the next reply starts in
// step, up to this many bytes in all: a longer line (a server streaming one
// line without end) ends the call as a broken connection.
constexpr size_t kMaxReplyLineLength = 16 * 1024;

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

// The reply deadline (Connection::begin_reply) for the lines read in its
// scope; a scope inside another keeps the outer deadline.
class ReplyBound {
public:
    explicit ReplyBound(Connection& connection)
        : connection_(connection), armed_(connection.begin_reply()) {}
    ~ReplyBound() {
        if (armed_) connection_.end_reply();
    }
    ReplyBound(const ReplyBound&) = delete;
    ReplyBound& operator=(const ReplyBound&) = delete;

private:
    Connection& connection_;
    bool armed_;
};

// Sends a whole command: true when every byte went out.
bool send_command(Connection& connection, std::string_view command);

// Reads one reply line into line.
LineRead read_reply_line(Connection& connection, std::string& line);

// Reads lines until the protocol finds the final one.
//
// Bounds against a hostile server: each wait for data is bounded by the
// session's timeout, and the whole reply (every line of it) must arrive
// within the timeout after its first byte; a line of more than
// kMaxReplyLineLength bytes, or more than max_lines lines, ends it. So no
// server holds a command for more than twice the timeout.
ReplyRead read_reply(Connection& connection, ReplyProtocol& protocol,
                     int max_lines = kMaxReplyLines);

}  // namespace brevorin
