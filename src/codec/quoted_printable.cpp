#include "codec/quoted_printable.h"

#include <cstring>
#include <new>
#include <utility>

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
void decode_span(const std::string& text, size_t end, std::string& out, bool& escaped) {
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
            escaped = true;
            i += 3;
        } else {
            out += '=';
            ++i;
        }
    }
}

// The classic reading of text[0, end): a bad escape is kept together with
// the characters it was read with (one, or two when the first is a hex
// digit), so "==41" stays as it is. True when the span ends in a '=' that
// started no escape: whether it is a soft break depends on the line ending,
// so it is left to the caller and not appended.
bool decode_classic_span(const char* text, size_t end, std::string& out, bool& escaped) {
    size_t i = 0;
    while (i < end) {
        const void* eq = std::memchr(text + i, '=', end - i);
        size_t stop =
            eq != nullptr ? static_cast<size_t>(static_cast<const char*>(eq) - text) : end;
        out.append(text + i, stop - i);
        i = stop;
        if (i >= end) break;
        if (i + 1 == end) return true;
        const int high = hex_digit_value(text[i + 1]);
        if (high < 0) {
            out.append(text + i, 2);
            i += 2;
        } else if (i + 2 == end) {
            out.append(text + i, 2);
            i += 2;
        } else {
            const int low = hex_digit_value(text[i + 2]);
            if (low >= 0) {
                out += static_cast<char>(high * 16 + low);
                escaped = true;
            } else {
                out.append(text + i, 3);
            }
            i += 3;
        }
    }
    return false;
}

// A Q word's text: escapes as in a body, '_' for a space.
void decode_word_span(const std::string& text, size_t end, std::string& out, bool& escaped) {
    for (size_t i = 0; i < end; ++i) {
        const char c = text[i];
        int high = -1;
        int low = -1;
        if (c == '=' && i + 2 < end) {
            high = hex_digit_value(text[i + 1]);
            low = hex_digit_value(text[i + 2]);
        }
        if (high >= 0 && low >= 0) {
            out += static_cast<char>(high * 16 + low);
            escaped = true;
            i += 2;
        } else {
            out += c == '_' ? ' ' : c;
        }
    }
}

// Where a decoding that more bytes may follow has to stop: before a '='
// among the last two bytes, whose escape is not complete yet.
size_t escape_safe_cut(const std::string& text, size_t cut) {
    if (cut >= 1 && text[cut - 1] == '=') return cut - 1;
    if (cut >= 2 && text[cut - 2] == '=') return cut - 2;
    return cut;
}

}  // namespace

void QpDecoder::feed(const char* data, size_t length, std::string& out) {
    if (form_ == Form::kClassicText) return feed_classic(data, length, out);
    if (form_ == Form::kWord) return feed_word(data, length, out);
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
    switch (form_) {
        case Form::kText:
            if (!line_.empty()) decode_line(false, out);
            break;
        case Form::kClassicText:
            if (ended_) break;
            if (pending_cr_)
                decode_classic_line("\r", out);
            else if (!line_.empty())
                decode_classic_line("", out);
            pending_cr_ = false;
            ended_ = true;
            break;
        case Form::kWord:
            decode_word_span(line_, line_.size(), out, decoded_escape_);
            line_.clear();
            break;
    }
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
    decode_span(line_, end, out, decoded_escape_);
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
    cut = escape_safe_cut(line_, cut);
    if (cut == 0) return;
    decode_span(line_, cut, out, decoded_escape_);
    line_.erase(0, cut);
}

// Lines end at CR, LF or CR LF, and a line is at most kQpClassicMaxLine long,
// so only a CR at the end of a piece has to wait for the next byte.
void QpDecoder::feed_classic(const char* data, size_t length, std::string& out) {
    if (ended_ || length == 0) return;
    size_t i = 0;
    if (pending_cr_) {
        pending_cr_ = false;
        if (data[0] == '\n') {
            decode_classic_line("\r\n", out);
            i = 1;
        } else {
            decode_classic_line("\r", out);
        }
    }
    while (i < length) {
        size_t j = i;
        while (j < length && data[j] != '\r' && data[j] != '\n' && data[j] != '\0') ++j;
        if (line_.size() + (j - i) > kQpClassicMaxLine) {
            failed_ = ended_ = true;
            line_.clear();
            return;
        }
        line_.append(data + i, j - i);
        if (j == length) return;
        if (data[j] == '\0') {
            decode_classic_line("", out);
            ended_ = true;
            return;
        }
        if (data[j] == '\n') {
            decode_classic_line("\n", out);
            i = j + 1;
        } else if (j + 1 == length) {
            pending_cr_ = true;
            return;
        } else if (data[j + 1] == '\n') {
            decode_classic_line("\r\n", out);
            i = j + 2;
        } else {
            decode_classic_line("\r", out);
            i = j + 1;
        }
    }
}

// One line and the ending it came with, which stays: trailing blanks go, and
// a '=' left before CR LF joins the next line.
void QpDecoder::decode_classic_line(const char* ending, std::string& out) {
    size_t end = line_.size();
    while (end > 0 && is_blank(line_[end - 1])) --end;
    const bool open_mark = decode_classic_span(line_.data(), end, out, decoded_escape_);
    const bool soft = open_mark && std::strcmp(ending, "\r\n") == 0;
    if (open_mark && !soft) out += '=';
    if (!soft) out += ending;
    line_.clear();
}

// Q words are short and have no lines: everything but an escape still open
// at the end of the piece is decoded at once.
void QpDecoder::feed_word(const char* data, size_t length, std::string& out) {
    line_.append(data, length);
    const size_t cut = escape_safe_cut(line_, line_.size());
    decode_word_span(line_, cut, out, decoded_escape_);
    line_.erase(0, cut);
}

bool qp_decode_whole(QpDecoder::Form form, const std::string& text, std::string& out) {
    try {
        QpDecoder decoder(form);
        std::string decoded;
        decoded.reserve(text.size());
        decoder.feed(text.data(), text.size(), decoded);
        decoder.finish(decoded);
        if (decoder.failed()) return false;
        out = std::move(decoded);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace brevorin
