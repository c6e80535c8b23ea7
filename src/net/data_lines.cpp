#include "net/data_lines.h"

#include <cstring>

namespace brevorin {

LineSource::Next DataLineReader::read_piece() {
    const char* piece = nullptr;
    int n;
    if (connection_) {
        // A direct call, and no check for a cut line: the connection hands
        // out whole lines up to the capacity, and this runs once a line.
        n = connection_->read(piece, kLineCapacity);
    } else {
        n = source_.read(piece, kLineCapacity);
        if (n > 0 && n < kLineCapacity && piece[n - 1] != '\n') n = gather(piece, n);
    }
    if (n <= 0) return source_.timed_out() ? Next::kTimedOut : Next::kFailed;
    bool stuffed = false;
    if (at_line_start() && piece[0] == '.') {
        if (n >= 3 && piece[1] == '\r' && piece[2] == '\n') return Next::kEnd;
        stuffed = true;
    }
    set_piece(piece, n, stuffed);
    return Next::kLine;
}

int DataLineReader::gather(const char*& piece, int n) {
    std::memcpy(gathered_, piece, static_cast<size_t>(n));
    while (n < kLineCapacity && gathered_[n - 1] != '\n') {
        const char* more = nullptr;
        int m = source_.read(more, kLineCapacity - n);
        if (m <= 0) return -1;
        std::memcpy(gathered_ + n, more, static_cast<size_t>(m));
        n += m;
    }
    piece = gathered_;
    return n;
}

}  // namespace brevorin
