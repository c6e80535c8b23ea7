// Reader of a dot-terminated multi-line POP3 answer (TOP, RETR, LIST).
//
// Lines come from sock_read_raw with the 2048-byte line capacity, so a longer
// line arrives in pieces. Only a piece that starts a line can be the
// terminating line or carry a stuffing dot; the pieces that continue a long
// line are data whatever they begin with.
#pragma once

#include <array>

#include "api/session.h"

namespace brevorin {

class DataLineReader {
public:
    enum Result { kEnd = 0, kLine = 1, kFailed = -1, kTimedOut = -4 };

    DataLineReader(int sock, const MailSession* session) : sock_(sock), session_(session) {}

    // Reads the next piece. kLine: a data piece is available; kEnd: the
    // terminating line was read (and is not data); kFailed / kTimedOut: the
    // read failed (kTimedOut when the last socket error is 10060).
    Result next();

    // The piece as received.
    const char* raw() const { return buffer_.data(); }
    int raw_size() const { return length_; }
    // The piece without its stuffing dot.
    const char* data() const { return buffer_.data() + (stuffed_ ? 1 : 0); }
    int size() const { return length_ - (stuffed_ ? 1 : 0); }
    // Whether the piece begins a line (the previous piece ended with LF).
    bool starts_line() const { return starts_line_; }
    // Whether the piece is a whole line or the last piece of one.
    bool ends_line() const { return length_ > 0 && buffer_[length_ - 1] == '\n'; }
    bool finished() const { return finished_; }

    // Reads and drops everything up to the terminating line (kEnd), unless it
    // was read already. Returns kEnd, kFailed or kTimedOut.
    Result drain();

private:
    int sock_;
    const MailSession* session_;
    std::array<char, kLineCapacity> buffer_{};
    int length_ = 0;
    bool stuffed_ = false;
    bool starts_line_ = true;
    bool next_starts_line_ = true;
    bool finished_ = false;
};

}  // namespace brevorin
