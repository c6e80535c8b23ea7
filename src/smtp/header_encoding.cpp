#include "smtp/header_encoding.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "codec/base64.h"
#include "codec/kanji.h"
#include "core/text.h"

namespace brevorin {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr int kQpLineLimit = 76;
constexpr char kSoftBreak[] = "=\r\n";
constexpr char kCrLf[] = "\r\n";

bool is_plain(unsigned char c) {
    return c >= 0x21 && c <= 0x7E && c != '=';
}

// Where the quoted-printable text goes. A body keeps its line structure and
// gets soft line breaks within 76 columns. A header word must stay one piece
// on one line: no soft breaks, line breaks escaped, and "?" (which would end
// the word early) and "_" (which other readers take for a space) escaped.
enum class QpTarget { kBody, kHeaderWord };

bool needs_escape(unsigned char c, QpTarget target) {
    if (target == QpTarget::kHeaderWord && (c == '?' || c == '_' || c == '\r' || c == '\n'))
        return true;
    return !is_plain(c) && c != ' ' && c != '\t' && c != '\r' && c != '\n';
}

int qp_encode(const char* text, std::string& out, QpTarget target) {
    if (text == nullptr) text = "";
    const bool limit_lines = target == QpTarget::kBody;
    bool clean = true;
    try {
        std::string result;
        result.reserve(std::strlen(text) * 3 / 2 + 16);
        int column = 0;
        bool pending_blank = false;
        for (const char* p = text; *p != '\0'; ++p) {
            const auto c = static_cast<unsigned char>(*p);
            if (needs_escape(c, target)) {
                result += '=';
                result += kHexDigits[c >> 4];
                result += kHexDigits[c & 0x0F];
                column += 3;
                pending_blank = false;
                clean = false;
            } else if (c == ' ' || c == '\t') {
                result += *p;
                ++column;
                pending_blank = true;
            } else if (c == '\r' || c == '\n') {
                // A blank right before a line end would be stripped on the
                // way; the soft break keeps it.
                if (pending_blank) result += kSoftBreak;
                result += kCrLf;
                if (c == '\r' && p[1] == '\n') ++p;
                column = 0;
                pending_blank = false;
            } else {
                result += *p;
                ++column;
                pending_blank = false;
            }
            if (limit_lines && column >= kQpLineLimit) {
                result += kSoftBreak;
                column = 0;
                pending_blank = false;
            }
        }
        out = std::move(result);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return clean ? 1 : 0;
}

// The base64 text of a B word: Japanese values travel in their JIS form.
int b_word_text(const char* value, int code, std::string& encoded) {
    std::string converted;
    if (code == kEuc || code == kSjis) {
        const int status = kanji_convert(code, kJis, value, converted);
        if (status < 0) return -1;
        if (status == 0) value = converted.c_str();
    }
    return base64_encode_text(value, encoded, 0) < 0 ? -10 : 0;
}

// Bytes of text taken into one UTF-8 B word: 45 bytes make 60 base64
// characters, and the word with "=?UTF-8?B?" and "?=" stays within the 75
// that RFC 2047 allows.
constexpr size_t kUtf8WordBytes = 45;

bool utf8_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// A UTF-8 value as B words, split between characters, one word a line.
std::string utf8_words(const std::string& value) {
    std::string out;
    size_t pos = 0;
    while (pos < value.size()) {
        size_t end = std::min(pos + kUtf8WordBytes, value.size());
        while (end > pos + 1 && end < value.size() &&
               utf8_continuation(static_cast<unsigned char>(value[end])))
            --end;
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + base64_encode_bytes(value.substr(pos, end - pos)) + "?=";
        pos = end;
    }
    return out;
}

}  // namespace

std::string utf8_file_name_parameters(const std::string& name) {
    if (!has_8bit(name.c_str())) return std::string();
    std::string extended = "filename*=UTF-8''";
    for (unsigned char c : name) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     std::strchr("!#$&+-.^_`|~", c) != nullptr;
        if (plain && c != 0) {
            extended += static_cast<char>(c);
        } else {
            extended += '%';
            extended += kHexDigits[c >> 4];
            extended += kHexDigits[c & 0x0F];
        }
    }
    return extended;
}

std::string utf8_encoded_words(const std::string& value) {
    return utf8_words(value);
}

int qp_encode(const char* text, std::string& out) {
    return qp_encode(text, out, QpTarget::kBody);
}

int encode_words(const char* value, std::string& out, const Context& ctx) {
    if (value == nullptr) value = "";
    try {
        if (!has_8bit(value)) {
            out = value;
            return 1;
        }
        const CharsetInfo& charset = charset_info(ctx.charset);
        if (ctx.charset == kUtf8) {
            out = utf8_words(value);
            return 0;
        }
        std::string encoded;
        if (charset.word_form == WordForm::kQ) {
            if (qp_encode(value, encoded, QpTarget::kHeaderWord) < 0) return -1;
        } else {
            const int status = b_word_text(value, ctx.charset, encoded);
            if (status < 0) return status;
        }
        std::string word = "=?";
        word += charset.mime_name;
        word += charset.word_form == WordForm::kQ ? "?Q?" : "?B?";
        word += encoded;
        word += "?=";
        out = std::move(word);
    } catch (const std::bad_alloc&) {
        return -10;
    }
    return 0;
}

int encode_phrase_words(const char* value, std::string& out, const Context& ctx) {
    try {
        if (ctx.charset == kUtf8) {
            out = utf8_words(value);
            return 0;
        }
        std::string encoded;
        const int status = b_word_text(value, ctx.charset, encoded);
        if (status < 0) return status;
        out = std::string("=?") + charset_info(ctx.charset).mime_name + "?B?" + encoded + "?=";
    } catch (const std::bad_alloc&) {
        return -10;
    }
    return 0;
}

}  // namespace brevorin
