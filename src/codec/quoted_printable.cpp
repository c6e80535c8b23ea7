#include "codec/quoted_printable.h"

#include <cstring>

#include "core/text.h"

namespace brevorin {

namespace {

// A line this long is decoded up to its last bytes before its end arrives.
constexpr size_t kDecodeAhead = 64 * 1024;
// White space held back in case it ends the line (and so is dropped). A
// run longer than this cannot be padding worth keeping an exact rule for:
// it is passed on as it came.
constexpr size_t kHeldBlanks = 1024 * 1024;

// Decodes text[0, end): "=XX" escapes become their byte, anything else
// (a '=' without two hex digits included) is kept.
void decode_span(const std::string& text, size_t end, std::string& out) {
    size_t i = 0;
    while (i < end) {
        const void* eq = std::memchr(text.data() + i, '=', end - i);
        size_t stop = eq != nullptr ? static_cast<size_t>(static_cast<const char*>(eq) - text.data()) : end;
        out.append(text, i, stop - i);
        i = stop;
        if (i >= end) break;
        int high = i + 2 < end ? hex_digit_value(text[i + 1]) : -1;
        int low = i + 2 < end ? hex_digit_value(text[i + 2]) : -1;
        if (high >= 0 && low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 3;
        } else {
            out += '=';
            ++i;
        }
    }
}

}  // namespace

void QpDecoder::feed(const char* data, size_t length, std::string& out) {
    while (length > 0) {
        const void* lf = std::memchr(data, '\n', length);
        size_t take = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - data) + 1 : length;
        line_.append(data, take);
        data += take;
        length -= take;
        if (lf != nullptr) decode_line(true, out);
        else if (line_.size() > kDecodeAhead) decode_prefix(out);
    }
}

void QpDecoder::finish(std::string& out) {
    if (!line_.empty()) decode_line(false, out);
}

// One whole line: its break (CR LF or LF) and the blanks before it go; a
// '=' before them is a soft break that joins the next line.
void QpDecoder::decode_line(bool hard_break, std::string& out) {
    size_t end = line_.size();
    if (hard_break) --end;
    if (end > 0 && line_[end - 1] == '\r') --end;
    while (end > 0 && is_blank(line_[end - 1])) --end;
    bool soft = end > 0 && line_[end - 1] == '=';
    if (soft) --end;
    decode_span(line_, end, out);
    if (hard_break && !soft) out += "\r\n";
    line_.clear();
}

// A long line without its end yet: everything but the bytes its end could
// still change (trailing blanks and CR, a '=' that may be a soft break or
// start an escape) is decoded now.
void QpDecoder::decode_prefix(std::string& out) {
    size_t cut = line_.size();
    while (cut > 0 && (is_blank(line_[cut - 1]) || line_[cut - 1] == '\r')) --cut;
    if (cut == 0 && line_.size() > kHeldBlanks) cut = line_.size();
    if (cut >= 1 && line_[cut - 1] == '=') cut -= 1;
    else if (cut >= 2 && line_[cut - 2] == '=') cut -= 2;
    if (cut == 0) return;
    decode_span(line_, cut, out);
    line_.erase(0, cut);
}

}  // namespace brevorin
