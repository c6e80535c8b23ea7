#include "net/data_lines.h"

#include "platform/sockets.h"

namespace brevorin {

LineSource::Next DataLineReader::read_piece() {
    const char* piece = nullptr;
    int n = connection_.read_view(piece, buffer_.data(), kLineCapacity);
    if (n < 0) return connection_.failure() == Failure::kTimedOut ? Next::kTimedOut : Next::kFailed;
    bool stuffed = false;
    if (at_line_start() && n >= 1 && piece[0] == '.') {
        if (n >= 3 && piece[1] == '\r' && piece[2] == '\n') return Next::kEnd;
        stuffed = true;
    }
    set_piece(piece, n, stuffed);
    return Next::kLine;
}

}  // namespace brevorin
