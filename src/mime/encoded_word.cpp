#include "mime/encoded_word.h"

#include <cstring>
#include <new>

#include "codec/base64.h"
#include "codec/kanji.h"
#include "codec/quoted_printable.h"
#include "mime/host_text.h"

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
    return ctx.charset == kEuc || ctx.charset == kSjis ? ctx.charset : 0;
}

// Decodes the text of one word and appends it to out. 0, or the status the
// whole value fails with.
int append_word(const EncodedWord& word, std::string& out, const Context& ctx) {
    std::string decoded;
    const char kind = upper_ascii(word.encoding)[0];
    if (kind == 'B') {
        if (base64_decode_text(word.text.c_str(), decoded) < 0) return -10;
    } else if (kind == 'Q') {
        if (!qp_decode_whole(QpDecoder::Form::kClassicText, word.text, decoded)) return -10;
    } else {
        return -1;
    }
    const int form = japanese_form(ctx);
    if (form != 0 && upper_ascii(word.charset) == kJapaneseCharset) {
        std::string converted;
        const int status = kanji_convert(kJis, form, decoded.c_str(), converted);
        if (status < 0) return -1;
        if (status == 0) decoded = std::move(converted);
    }
    // The value is a terminated text: a decoded zero byte ends the word.
    out.append(decoded.c_str());
    return 0;
}

// One well-formed "=?charset?B|Q?text?=" at pos: true with its parts and
// end (behind "?=").
bool strict_word(const std::string& value, size_t pos, std::string& charset, char& kind,
                 std::string& text, size_t& end) {
    if (value.compare(pos, 2, "=?") != 0) return false;
    size_t q1 = value.find('?', pos + 2);
    if (q1 == std::string::npos || q1 == pos + 2 || q1 + 2 >= value.size() || value[q1 + 2] != '?')
        return false;
    kind = static_cast<char>(value[q1 + 1] & ~0x20);
    if (kind != 'B' && kind != 'Q') return false;
    size_t close = value.find("?=", q1 + 3);
    if (close == std::string::npos) return false;
    charset = value.substr(pos + 2, q1 - pos - 2);
    text = value.substr(q1 + 3, close - q1 - 3);
    if (charset.find_first_of(" \t") != std::string::npos || text.find(' ') != std::string::npos)
        return false;
    end = close + 2;
    return true;
}

bool decode_word_text(char kind, const std::string& text, std::string& bytes) {
    if (kind == 'B') {
        std::string padded = text;
        while (padded.size() % 4 != 0) padded += '=';
        return base64_decode_text(padded.c_str(), bytes) >= 0;
    }
    bytes.clear();
    QpDecoder q(QpDecoder::Form::kWord);
    q.feed(text.data(), text.size(), bytes);
    q.finish(bytes);
    return true;
}

}  // namespace

std::string decode_words_for_host(const std::string& value, const Context& ctx, bool* lossy) {
    std::string out;
    std::string run;          // decoded bytes of adjacent words in run_charset
    std::string run_charset;
    std::string pending_space;  // white space that counts only if no word follows
    auto flush = [&] {
        if (run.empty()) return;
        if (to_host_charset(run_charset, run, ctx) == HostText::kLossy && lossy != nullptr)
            *lossy = true;
        out += run;
        run.clear();
    };
    size_t pos = 0;
    bool after_word = false;
    while (pos < value.size()) {
        char c = value[pos];
        if (c == '\r' || c == '\n') {
            ++pos;
            continue;
        }
        if (c == ' ' || c == '\t') {
            pending_space += ' ';
            ++pos;
            continue;
        }
        std::string charset, text, bytes;
        char kind = 0;
        size_t end = 0;
        if (strict_word(value, pos, charset, kind, text, end) && decode_word_text(kind, text, bytes)) {
            if (!after_word) out += pending_space;
            pending_space.clear();
            std::string upper = upper_ascii(charset);
            if (upper != run_charset) flush();
            run_charset = upper;
            // A decoded zero byte would end the value for the host.
            run.append(bytes.c_str());
            after_word = true;
            pos = end;
            continue;
        }
        flush();
        out += pending_space;
        pending_space.clear();
        out += c;
        after_word = false;
        ++pos;
    }
    flush();
    out += pending_space;
    return out;
}

int decode_encoded_words(const char* value, std::string& out, const Context& ctx) {
    if (value == nullptr) value = "";
    if (converts_for_host(ctx)) {
        try {
            out = decode_words_for_host(value, ctx, nullptr);
        } catch (const std::bad_alloc&) {
            return -10;
        }
        return 0;
    }
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
