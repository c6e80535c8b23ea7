// A source of message lines for the readers of a message: the dot-data of a
// POP3 answer on a connection, or a message held in memory. Lines come in
// pieces of at most kLineCapacity bytes, so a longer line arrives in several
// pieces; only a piece that starts a line can end the data.
#pragma once

#include <string>

#include "core/limits.h"

namespace brevorin {

class LineSource {
public:
    enum class Next { kLine, kEnd, kFailed, kTimedOut };

    virtual ~LineSource() = default;

    // The next piece. After kEnd every call gives kEnd; after a failure the
    // failure is remembered (failure()).
    Next next();

    // The piece as received, and without a stuffing dot.
    const char* raw() const { return piece_; }
    int raw_size() const { return raw_size_; }
    const char* data() const { return piece_ + (stuffed_ ? 1 : 0); }
    int size() const { return raw_size_ - (stuffed_ ? 1 : 0); }
    bool starts_line() const { return starts_line_; }
    bool ends_line() const { return raw_size_ > 0 && piece_[raw_size_ - 1] == '\n'; }

    bool finished() const { return finished_; }
    // kLine while every read succeeded, otherwise kFailed or kTimedOut.
    Next failure() const { return failure_; }
    bool failed() const { return failure_ != Next::kLine; }

    // Reads and drops the rest: kEnd, or the failure.
    Next drain();

protected:
    // Reads one piece and hands it over with set_piece (kLine), or reports
    // the end of data or a failure. Implementations learn from
    // at_line_start() whether the piece will start a line.
    virtual Next read_piece() = 0;
    void set_piece(const char* data, int length, bool stuffed) {
        piece_ = data;
        raw_size_ = length;
        stuffed_ = stuffed;
    }
    bool at_line_start() const { return next_starts_line_; }

private:
    const char* piece_ = "";
    int raw_size_ = 0;
    bool stuffed_ = false;
    bool starts_line_ = true;
    bool next_starts_line_ = true;
    bool finished_ = false;
    Next failure_ = Next::kLine;
};

// A message held in memory, split at line feeds.
class TextLineSource final : public LineSource {
public:
    TextLineSource(const char* text, size_t length) : text_(text), length_(length) {}

protected:
    Next read_piece() override;

private:
    const char* text_;
    size_t length_;
    size_t pos_ = 0;
};

// Lines of a text held in memory, then those of another source: text that
// was read as part of a header block goes back in front of the body.
class PrefixedLineSource final : public LineSource {
public:
    PrefixedLineSource(const std::string& prefix, LineSource& rest)
        : prefix_(prefix.data(), prefix.size()), rest_(rest) {}

protected:
    Next read_piece() override;

private:
    TextLineSource prefix_;
    LineSource& rest_;
    bool in_prefix_ = true;
};

}  // namespace brevorin
