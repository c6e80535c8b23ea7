#include "net/data_lines.h"

#include "platform/sockets.h"

namespace brevorin {

LineSource::Next DataLineReader::read_piece() {
    int n = connection_.read_raw(buffer_.data(), kLineCapacity);
    if (n < 0)
        return connection_.failure() == Failure::kTimedOut ? Next::kTimedOut : Next::kFailed;
    bool stuffed = false;
    if (at_line_start() && n >= 1 && buffer_[0] == '.') {
        if (n >= 3 && buffer_[1] == '\r' && buffer_[2] == '\n') return Next::kEnd;
        stuffed = true;
    }
    set_piece(buffer_.data(), n, stuffed);
    return Next::kLine;
}

}  // namespace brevorin
