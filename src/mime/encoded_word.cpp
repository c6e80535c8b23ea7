#include "mime/encoded_word.h"

#include <cstring>
#include <new>

#include "codec/base64.h"
#include "codec/kanji.h"
#include "mime/qp_decode.h"

namespace brevorin {

namespace {

constexpr char kFieldSeparator = '?';
constexpr char kJapaneseCharset[] = "ISO-2022-JP";

// One "=?charset?encoding?text?=" word, its fields taken as the non-empty
// pieces between question marks.
struct EncodedWord {
    std::string charset;
    std::string encoding;
    std::string text;
    const char* resume = nullptr;  // where the scan goes on; null at the end
};

// Reads the next non-empty field at p and moves p behind it.
std::string next_field(const char*& p) {
    while (*p == kFieldSeparator) ++p;
    const char* start = p;
    while (*p != '\0' && *p != kFieldSeparator) ++p;
    return std::string(start, p);
}

// Splits the word that starts after "=?". False when the encoding or the
// text field is missing.
bool split_word(const char* p, EncodedWord& word) {
    word.charset = next_field(p);
    word.encoding = next_field(p);
    if (word.encoding.empty()) return false;
    word.text = next_field(p);
    if (word.text.empty()) return false;
    // The "?" that closes the text and the character after it (the "=" of
    // a well-formed word) end the word.
    if (*p == '\0' || p[1] == '\0') {
        word.resume = nullptr;
    } else {
        word.resume = p + 2;
    }
    return true;
}

std::string upper_ascii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

int japanese_form(const Context& ctx) {
    return ctx.charset == CODE_EUC || ctx.charset == CODE_SJIS ? ctx.charset : 0;
}

// Decodes the text of one word and appends it to out. 0, or the status the
// whole value fails with.
int append_word(const EncodedWord& word, std::string& out, const Context& ctx) {
    std::string decoded;
    const char kind = upper_ascii(word.encoding)[0];
    if (kind == 'B') {
        if (base64_decode_text(word.text.c_str(), decoded) < 0) return -10;
    } else if (kind == 'Q') {
        if (qp_decode(word.text.c_str(), decoded) < 0) return -10;
    } else {
        return -1;
    }
    const int form = japanese_form(ctx);
    if (form != 0 && upper_ascii(word.charset) == kJapaneseCharset) {
        std::string converted;
        const int status = kanji_convert(CODE_JIS, form, decoded.c_str(), converted);
        if (status < 0) return -1;
        if (status == 0) decoded = std::move(converted);
    }
    // The value is a terminated text: a decoded zero byte ends the word.
    out.append(decoded.c_str());
    return 0;
}

}  // namespace

int decode_encoded_words(const char* value, std::string& out, const Context& ctx) {
    if (value == nullptr) value = "";
    try {
        std::string result;
        result.reserve(std::strlen(value));
        const char* p = value;
        while (p != nullptr && *p != '\0') {
            const char c = *p;
            if (c == '\r' || c == '\n' || c == '\t') {
                ++p;
            } else if (c != '=') {
                result += c;
                ++p;
            } else if (p[1] == '\0') {
                result += c;
                p = nullptr;
            } else if (p[1] != kFieldSeparator) {
                result.append(p, 2);
                p += 2;
            } else {
                EncodedWord word;
                if (!split_word(p + 2, word)) return -1;
                const int status = append_word(word, result, ctx);
                if (status != 0) return status;
                p = word.resume;
            }
        }
        out = std::move(result);
    } catch (const std::bad_alloc&) {
        return -10;
    }
    return 0;
}

}  // namespace brevorin
