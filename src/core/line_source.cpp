#include "core/line_source.h"

#include <cstring>

namespace brevorin {

LineSource::Next LineSource::next() {
    if (finished_) return Next::kEnd;
    if (failure_ != Next::kLine) return failure_;
    Next r = read_piece();
    if (r == Next::kEnd) {
        finished_ = true;
        raw_size_ = 0;
        return r;
    }
    if (r != Next::kLine) {
        failure_ = r;
        raw_size_ = 0;
        return r;
    }
    starts_line_ = next_starts_line_;
    next_starts_line_ = ends_line();
    return r;
}

LineSource::Next LineSource::drain() {
    while (true) {
        Next r = next();
        if (r != Next::kLine) return r;
    }
}

LineSource::Next TextLineSource::read_piece() {
    if (pos_ >= length_) return Next::kEnd;
    size_t room = length_ - pos_;
    if (room > static_cast<size_t>(kLineCapacity)) room = kLineCapacity;
    const char* start = text_ + pos_;
    const void* lf = std::memchr(start, '\n', room);
    size_t take = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1 : room;
    pos_ += take;
    set_piece(start, static_cast<int>(take), false);
    return Next::kLine;
}

LineSource::Next PrefixedLineSource::read_piece() {
    if (in_prefix_) {
        if (prefix_.next() == Next::kLine) {
            set_piece(prefix_.raw(), prefix_.raw_size(), false);
            return Next::kLine;
        }
        in_prefix_ = false;
    }
    Next r = rest_.next();
    if (r == Next::kLine) set_piece(rest_.raw(), rest_.raw_size(), rest_.raw() != rest_.data());
    return r;
}

}  // namespace brevorin
