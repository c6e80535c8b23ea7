#include "net/data_lines.h"

#include "net/transport.h"
#include "platform/sockets.h"

namespace brevorin {

DataLineReader::Result DataLineReader::next() {
    if (finished_) return kEnd;
    int n = sock_read_raw(sock_, buffer_.data(), kLineCapacity, session_);
    if (n < 0) {
        length_ = 0;
        return sock_error() == platform::kWsaEtimedout ? kTimedOut : kFailed;
    }
    length_ = n;
    starts_line_ = next_starts_line_;
    next_starts_line_ = ends_line();
    stuffed_ = false;
    if (starts_line_ && n >= 1 && buffer_[0] == '.') {
        if (n >= 3 && buffer_[1] == '\r' && buffer_[2] == '\n') {
            finished_ = true;
            return kEnd;
        }
        stuffed_ = true;
    }
    return kLine;
}

DataLineReader::Result DataLineReader::drain() {
    while (true) {
        Result r = next();
        if (r != kLine) return r;
    }
}

}  // namespace brevorin
