#include "imap/response.h"

#include <algorithm>
#include <cstring>

namespace brevorin::imap {

namespace {

// What one skipped response may hold, literals included: an unsolicited
// response is read through, but a server streaming one without end is not.
constexpr uint64_t kMaxSkippedResponse = 64u * 1024 * 1024;

bool ends_atom(int c) {
    return c == ' ' || c == '(' || c == ')' || c == '"' || c == '\r' || c == '\n' || c == '{' ||
           c < 0;
}

bool is_digit(int c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool ResponseReader::fill() {
    if (failed_) return false;
    const char* data = nullptr;
    int n = source_.read(data, kLineCapacity);
    if (n <= 0) {
        failed_ = true;
        return false;
    }
    piece_ = data;
    left_ = n;
    return true;
}

int ResponseReader::peek() {
    if (left_ == 0 && !fill()) return -1;
    return static_cast<unsigned char>(*piece_);
}

int ResponseReader::get() {
    int c = peek();
    if (c >= 0) {
        ++piece_;
        --left_;
        ++consumed_;
    }
    return c;
}

Token ResponseReader::fail() {
    // Not failed before: the bytes arrived but make no response.
    if (!failed_) source_.note_unreadable();
    failed_ = true;
    return Token::kFailed;
}

Token ResponseReader::next() {
    if (failed_ || literal_left_ != 0) return fail();
    int c = peek();
    // Blanks count like any other byte: a line of nothing but blanks is
    // not read for ever.
    for (size_t blanks = 0; c == ' '; ++blanks) {
        if (blanks == kMaxTextLength) {
            overrun_ = true;
            return fail();
        }
        get();
        c = peek();
    }
    switch (c) {
        case -1:
            return fail();
        case '\r':
            get();
            if (get() != '\n') return fail();
            return Token::kLineEnd;
        case '\n':
            get();
            return Token::kLineEnd;
        case '(':
            get();
            return Token::kOpen;
        case ')':
            get();
            return Token::kClose;
        case '"':
            get();
            return read_quoted();
        case '{':
            get();
            return read_literal_size();
        case '~':
            get();
            if (peek() == '{') {
                get();
                return read_literal_size();
            }
            return read_atom('~');
        default:
            get();
            return read_atom(static_cast<char>(c));
    }
}

// An atom runs to a blank, a parenthesis or the line end, except inside
// brackets: "BODY[HEADER.FIELDS (FROM TO)]" is one name.
Token ResponseReader::read_atom(char first) {
    text_.assign(1, first);
    int depth = first == '[' ? 1 : 0;
    while (true) {
        int c = peek();
        if (depth == 0 && ends_atom(c)) break;
        if (c < 0 || c == '\r' || c == '\n') return fail();
        get();
        if (c == '[') ++depth;
        if (c == ']' && depth > 0) --depth;
        if (text_.size() >= kMaxTokenLength) return fail();
        text_.push_back(static_cast<char>(c));
    }
    if (text_.size() == 3 && (text_[0] | 0x20) == 'n' && (text_[1] | 0x20) == 'i' &&
        (text_[2] | 0x20) == 'l')
        return Token::kNil;
    if (text_.size() <= 19) {
        uint64_t value = 0;
        bool digits = true;
        for (char d : text_) {
            if (!is_digit(d)) {
                digits = false;
                break;
            }
            value = value * 10 + static_cast<uint64_t>(d - '0');
        }
        if (digits) {
            number_ = value;
            return Token::kNumber;
        }
    }
    return Token::kAtom;
}

Token ResponseReader::read_quoted() {
    text_.clear();
    while (true) {
        int c = get();
        if (c < 0 || c == '\r' || c == '\n') return fail();
        if (c == '"') return Token::kString;
        if (c == '\\') {
            c = get();
            if (c < 0 || c == '\r' || c == '\n') return fail();
        }
        if (text_.size() >= kMaxTokenLength) return fail();
        text_.push_back(static_cast<char>(c));
    }
}

// "{n}" or "{n+}", then CR LF; the data follows.
Token ResponseReader::read_literal_size() {
    uint64_t size = 0;
    int digits = 0;
    int c = get();
    while (is_digit(c)) {
        if (++digits > 19) return fail();
        size = size * 10 + static_cast<uint64_t>(c - '0');
        c = get();
    }
    if (c == '+') c = get();
    if (digits == 0 || c != '}') return fail();
    c = get();
    if (c == '\r') c = get();
    if (c != '\n') return fail();
    literal_left_ = size;
    if (size != 0) source_.payload(true);
    return Token::kLiteral;
}

int ResponseReader::literal_piece(const char*& data, int room) {
    if (failed_) return -1;
    if (literal_left_ == 0) return 0;
    if (static_cast<uint64_t>(room) > literal_left_) room = static_cast<int>(literal_left_);
    int n;
    if (left_ > 0) {
        // Bytes of the literal already read with its size line.
        int avail = left_ < room ? left_ : room;
        const void* lf = std::memchr(piece_, '\n', static_cast<size_t>(avail));
        n = lf != nullptr ? static_cast<int>(static_cast<const char*>(lf) - piece_) + 1 : avail;
        data = piece_;
        piece_ += n;
        left_ -= n;
    } else {
        n = source_.read(data, room);
        if (n <= 0) {
            failed_ = true;
            return -1;
        }
    }
    literal_left_ -= static_cast<uint64_t>(n);
    consumed_ += static_cast<uint64_t>(n);
    if (literal_left_ == 0) source_.payload(false);
    return n;
}

bool ResponseReader::literal_fits() {
    if (consumed_ - response_start_ + literal_left_ <= kMaxSkippedResponse) return true;
    failed_ = true;
    overrun_ = true;
    return false;
}

bool ResponseReader::read_literal(std::string& out, size_t keep) {
    out.clear();
    if (!literal_fits()) return false;
    while (literal_left_ > 0) {
        const char* data = nullptr;
        int n = literal_piece(data, kLineCapacity);
        if (n < 0) return false;
        size_t room = keep - out.size();
        out.append(data, static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
    }
    return true;
}

bool ResponseReader::skip_literal() {
    if (!literal_fits()) return false;
    while (literal_left_ > 0) {
        const char* data = nullptr;
        if (literal_piece(data, kLineCapacity) < 0) return false;
    }
    return true;
}

bool ResponseReader::rest_of_line(std::string& out, size_t keep) {
    out.clear();
    if (failed_ || literal_left_ != 0) return false;
    if (peek() == ' ') get();
    size_t length = 0;
    while (true) {
        int c = get();
        if (c < 0) return false;
        if (c == '\n') break;
        if (++length > kMaxTextLength) {
            fail();
            return false;
        }
        if (out.size() < keep) out.push_back(static_cast<char>(c));
    }
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return true;
}

bool ResponseReader::skip_value(Token first) {
    switch (first) {
        case Token::kAtom:
        case Token::kNumber:
        case Token::kString:
        case Token::kNil:
            return true;
        case Token::kLiteral:
            return skip_literal();
        case Token::kOpen:
            break;
        default:
            return false;
    }
    int depth = 1;
    const uint64_t start = consumed_;
    while (depth > 0) {
        if (consumed_ - start > kMaxSkippedResponse) {
            fail();
            overrun_ = true;
            return false;
        }
        Token t = next();
        if (t == Token::kOpen) ++depth;
        if (t == Token::kClose) --depth;
        if (t == Token::kLiteral && !skip_literal()) return false;
        if (t == Token::kLineEnd || t == Token::kFailed) return false;
    }
    return true;
}

// The bound holds for the response up to the end of its last literal; the
// text after that may still take a text line's length.
bool ResponseReader::skip_response() {
    uint64_t limit = kMaxSkippedResponse;
    while (consumed_ - response_start_ <= limit) {
        Token t = next();
        if (t == Token::kLineEnd) return true;
        if (t == Token::kFailed) return false;
        if (t == Token::kLiteral) {
            if (!skip_literal()) return false;
            limit = std::max<uint64_t>(limit, consumed_ - response_start_ + kMaxTextLength);
        }
    }
    fail();
    overrun_ = true;
    return false;
}

bool ResponseReader::string_value(Token first, std::string& out, size_t keep) {
    switch (first) {
        case Token::kString:
            out.assign(text_, 0, keep);
            return true;
        case Token::kNil:
            out.clear();
            return true;
        case Token::kLiteral:
            return read_literal(out, keep);
        default:
            return false;
    }
}

LineSource::Next LiteralLines::read_piece() {
    if (reader_.literal_left() == 0) return Next::kEnd;
    const char* data = nullptr;
    int n = reader_.literal_piece(data, kLineCapacity);
    if (n < 0) return reader_.timed_out() ? Next::kTimedOut : Next::kFailed;
    set_piece(data, n, false);
    return Next::kLine;
}

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

// The next code point of a UTF-8 text; a byte that starts no valid
// sequence stands for itself.
uint32_t next_code_point(const std::string& s, size_t& i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    int extra = c >= 0xF0 && c < 0xF5 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 && c < 0xE0 ? 1 : 0;
    if (c >= 0x80 && extra > 0 && i + extra < s.size()) {
        uint32_t cp = c & (0x3F >> extra);
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            unsigned char d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if (ok && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
            i += static_cast<size_t>(extra) + 1;
            return cp;
        }
    }
    ++i;
    return c;
}

}  // namespace

std::string modified_utf7(const std::string& utf8) {
    std::string out;
    size_t i = 0;
    while (i < utf8.size()) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c >= 0x20 && c <= 0x7E) {
            out += c == '&' ? "&-" : std::string(1, static_cast<char>(c));
            ++i;
            continue;
        }
        // A run of other characters, as UTF-16 in base64 with ',' for '/'.
        std::string units;
        while (i < utf8.size()) {
            unsigned char d = static_cast<unsigned char>(utf8[i]);
            if (d >= 0x20 && d <= 0x7E) break;
            uint32_t cp = next_code_point(utf8, i);
            auto unit = [&units](uint32_t u) {
                units.push_back(static_cast<char>(u >> 8));
                units.push_back(static_cast<char>(u & 0xFF));
            };
            if (cp >= 0x10000) {
                cp -= 0x10000;
                unit(0xD800 + (cp >> 10));
                unit(0xDC00 + (cp & 0x3FF));
            } else {
                unit(cp);
            }
        }
        out += '&';
        uint32_t bits = 0;
        int count = 0;
        for (char u : units) {
            bits = (bits << 8) | static_cast<unsigned char>(u);
            count += 8;
            while (count >= 6) {
                count -= 6;
                out += kBase64[(bits >> count) & 0x3F];
            }
        }
        if (count > 0) out += kBase64[(bits << (6 - count)) & 0x3F];
        out += '-';
    }
    return out;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u == 0 || u == '\r' || u == '\n' || u >= 0x80) return std::string();
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

}  // namespace brevorin::imap
