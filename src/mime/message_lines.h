// The lines of one dot-terminated RETR answer, read through DataLineReader,
// with a memory of how the connection fared: the readers of a message stop
// at the end-of-data line, and after a failed read the caller knows that the
// connection is no longer in step instead of reading on.
#pragma once

#include "net/data_lines.h"

namespace brevorin {

class MessageLines {
  public:
    using Result = DataLineReader::Result;

    MessageLines(int sock, const MailSession* session) : reader_(sock, session) {}

    // The next piece: kLine, kEnd (end-of-data line, also on every call after
    // it), kFailed or kTimedOut.
    Result next() {
        Result r = reader_.next();
        if (r == DataLineReader::kFailed || r == DataLineReader::kTimedOut) failure_ = r;
        return r;
    }

    const char* raw() const { return reader_.raw(); }
    int raw_size() const { return reader_.raw_size(); }
    const char* data() const { return reader_.data(); }
    int size() const { return reader_.size(); }
    bool starts_line() const { return reader_.starts_line(); }

    // Whether the end-of-data line has been read.
    bool finished() const { return reader_.finished(); }
    // 0 while every read succeeded, otherwise kFailed or kTimedOut.
    int failure() const { return failure_; }

    // Reads and drops the rest of the answer: kEnd, kFailed or kTimedOut.
    Result drain() {
        if (failure_ != 0) return static_cast<Result>(failure_);
        Result r = reader_.drain();
        if (r != DataLineReader::kEnd) failure_ = r;
        return r;
    }

  private:
    DataLineReader reader_;
    int failure_ = 0;
};

}  // namespace brevorin
