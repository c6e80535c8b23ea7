#include "smtp/header_encoding.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

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

// RFC 2047's bound on an encoded word and RFC 5322's on a header line.
constexpr size_t kWordLimit = 75;
constexpr size_t kLineLimit = 78;
constexpr char kFold[] = "\r\n ";

// A display name may stand after "Reply-To: ", the longest field name an
// address list goes out under; the first word leaves room for it.
constexpr size_t kPhraseLead = sizeof "Reply-To: " - 1;

bool modern(const Context& ctx) {
    return ctx.options.mime == MimeMode::kModern;
}

// Bytes the character at value[pos] takes in the host charset: an encoded
// word must not end inside one, or its halves decode to nothing a reader
// can show. A byte that starts no character counts alone.
size_t char_length(const std::string& value, size_t pos, int code) {
    const auto b = static_cast<unsigned char>(value[pos]);
    size_t length = 1;
    if (b >= 0x80) {
        switch (code) {
            case kUtf8:
                length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
                break;
            case kEuc:
                length = b == 0x8F ? 3 : (b >= 0xA1 || b == 0x8E) ? 2 : 1;
                break;
            case kSjis:
                length = b >= 0xA1 && b <= 0xDF ? 1 : 2;  // half-width katakana: one byte
                break;
            case kChinese:
            case kKorean:
                length = 2;
                break;
            default:
                break;
        }
    }
    return std::min(length, value.size() - pos);
}

// A Q word's text under the modern rules: a blank is "_", as RFC 2047 wants
// it (a literal one ends the word for strict readers).
std::string q_word_text(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c == ' ') {
            text += '_';
        } else if (c > 0x20 && c < 0x7F && c != '=' && c != '?' && c != '_') {
            text += static_cast<char>(c);
        } else {
            text += '=';
            text += kHexDigits[c >> 4];
            text += kHexDigits[c & 0x0F];
        }
    }
    return text;
}

// The text of one word of the modern rules: 0, -1 when a Japanese
// conversion fails. Japanese goes in JIS form, each word beginning and
// ending in ASCII so that it decodes on its own.
// Half-width katakana go full-width; a sound mark joined to the katakana
// before it leaves the word as long as it was, so a word that holds the
// katakana holds its mark too and no two words part them.
int word_text(const std::string& bytes, int code, WordForm form, std::string& text) {
    if (form == WordForm::kQ) {
        text = q_word_text(bytes);
        return 0;
    }
    if (code == kEuc || code == kSjis) {
        std::string converted;
        const int status = kanji_convert(code, kJis, bytes.c_str(), converted, RomanEscape::kAscii,
                                         HalfWidthKana::kFullWidth);
        if (status < 0) return -1;
        if (status == 0) {
            text = base64_encode_bytes(converted);
            return 0;
        }
    }
    text = base64_encode_bytes(bytes);
    return 0;
}

// A value as encoded words of at most 75 characters, split between
// characters, one a line; the first word shares its line with the lead
// characters (field name, colon, blank) and is shorter where they need it.
// 0, -1 when a Japanese conversion fails.
int folded_words(const std::string& value, int code, WordForm form, size_t lead, std::string& out) {
    const std::string head =
        std::string("=?") + modern_mime_name(code) + (form == WordForm::kQ ? "?Q?" : "?B?");
    const size_t frame = head.size() + 2;
    size_t room =
        lead + kWordLimit <= kLineLimit ? kWordLimit : kLineLimit - std::min(lead, kLineLimit);
    std::string result;
    std::string text;
    std::string taken;
    size_t pos = 0;
    while (pos < value.size()) {
        // Each word takes at least one character, however little room.
        size_t end = pos;
        taken.clear();
        while (end < value.size()) {
            const size_t next = end + char_length(value, end, code);
            if (word_text(value.substr(pos, next - pos), code, form, text) < 0) return -1;
            if (end > pos && frame + text.size() > room) break;
            taken.swap(text);
            end = next;
        }
        if (!result.empty()) result += kFold;
        result += head + taken + "?=";
        pos = end;
        room = kWordLimit;
    }
    out = std::move(result);
    return 0;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Where a 7-bit value may fold: before a blank that follows text and is
// followed by text, so that neither line is blank.
bool fold_point(const std::string& value, size_t i) {
    return i > 0 && i < value.size() && is_blank(value[i]) && !is_blank(value[i - 1]) &&
           value.find_first_not_of(" \t", i) != std::string::npos;
}

// A 7-bit value folded at blanks so that its lines stay within 78
// characters where a blank allows; a run without one stays whole.
std::string folded_text(const std::string& value, size_t lead) {
    std::string out;
    size_t start = 0;
    size_t width = lead;
    while (value.size() - start + width > kLineLimit) {
        const size_t limit = start + (width < kLineLimit ? kLineLimit - width : 0);
        size_t fold = std::string::npos;
        for (size_t i = std::min(limit, value.size() - 1); i > start && fold == std::string::npos;
             --i)
            if (fold_point(value, i)) fold = i;
        for (size_t i = limit + 1; i < value.size() && fold == std::string::npos; ++i)
            if (fold_point(value, i)) fold = i;
        if (fold == std::string::npos) break;
        out.append(value, start, fold - start);
        out += "\r\n";
        start = fold;
        width = 0;
    }
    out.append(value, start, std::string::npos);
    return out;
}

// A phrase as its reader shows it: quoted strings without their quotation
// marks, a backslash in them taken for the character it escapes. Walked by
// characters, as a Shift-JIS character may end in the byte of "\\".
std::string phrase_text(const std::string& phrase, int code) {
    std::string text;
    bool quoted = false;
    size_t pos = 0;
    while (pos < phrase.size()) {
        const char c = phrase[pos];
        if (c == '"') {
            quoted = !quoted;
            ++pos;
            continue;
        }
        if (quoted && c == '\\' && pos + 1 < phrase.size()) ++pos;
        const size_t length = char_length(phrase, pos, code);
        text.append(phrase, pos, length);
        pos += length;
    }
    return text;
}

// An atom a phrase may hold as it is (RFC 5322 atext), and which no reader
// could take for an encoded word.
bool plain_atom(const std::string& token) {
    if (token.find("=?") != std::string::npos) return false;
    for (unsigned char c : token) {
        const bool atext = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || std::strchr("!#$%&'*+-/=?^_`{|}~", c);
        if (!atext || c == 0) return false;
    }
    return true;
}

// Room below which an encoded run starts on a line of its own: a frame of up
// to 18 characters and a few characters of text.
constexpr size_t kLeastWord = 32;

// A phrase under the modern rules. One word where it fits; a longer phrase
// keeps its 7-bit atoms as they are between encoded runs, since readers
// disagree over the blank between two adjacent encoded words in a phrase
// (RFC 2047 drops it, some keep it) but not over one beside an atom. Runs
// too long for one word are still split, between characters.
int phrase_words(const std::string& text, int code, std::string& out) {
    std::string one;
    if (folded_words(text, code, WordForm::kB, kPhraseLead, one) < 0) return -1;
    if (one.find('\n') == std::string::npos) {
        out = std::move(one);
        return 0;
    }
    // The text cut at blanks into runs: a 7-bit atom alone, the rest with
    // the blanks between them as written.
    struct Run {
        size_t start, end;
        bool atom;
    };
    std::vector<Run> runs;
    size_t pos = 0;
    while (pos < text.size()) {
        if (is_blank(text[pos])) {
            ++pos;
            continue;
        }
        size_t end = pos;
        while (end < text.size() && !is_blank(text[end])) end += char_length(text, end, code);
        const bool atom = plain_atom(text.substr(pos, end - pos));
        if (!atom && !runs.empty() && !runs.back().atom)
            runs.back().end = end;
        else
            runs.push_back(Run{pos, end, atom});
        pos = end;
    }
    std::string result;
    size_t column = kPhraseLead;  // of the line being written
    for (const Run& run : runs) {
        const std::string piece = text.substr(run.start, run.end - run.start);
        // A run that one word holds goes whole onto the next line rather than
        // split at the end of this one.
        size_t least = piece.size();
        if (!run.atom) {
            std::string whole;
            if (folded_words(piece, code, WordForm::kB, 0, whole) < 0) return -1;
            least = whole.find('\n') == std::string::npos ? whole.size() : kLeastWord;
        }
        if (!result.empty()) {
            const bool fold = column + 1 + least > kLineLimit;
            result += fold ? kFold : " ";
            column = fold ? 1 : column + 1;
        }
        if (run.atom) {
            result += piece;
            column += piece.size();
            continue;
        }
        std::string words;
        if (folded_words(piece, code, WordForm::kB, column, words) < 0) return -1;
        const size_t last_line = words.rfind('\n');
        column =
            last_line == std::string::npos ? column + words.size() : words.size() - last_line - 1;
        result += words;
    }
    out = std::move(result);
    return 0;
}

}  // namespace

std::string rfc2231_value(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     (c != 0 && std::strchr("!#$&+-.^_`|~", c) != nullptr);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 0x0F];
        }
    }
    return out;
}

std::string utf8_file_name_parameters(const std::string& name) {
    if (!has_8bit(name.c_str())) return std::string();
    return "filename*=UTF-8''" + rfc2231_value(name);
}

std::string utf8_encoded_words(const std::string& value) {
    return utf8_words(value);
}

int qp_encode(const char* text, std::string& out) {
    return qp_encode(text, out, QpTarget::kBody);
}

int encode_words(const char* value, std::string& out, const Context& ctx, size_t lead) {
    if (value == nullptr) value = "";
    try {
        if (!has_8bit(value)) {
            out = modern(ctx) ? folded_text(value, lead) : std::string(value);
            return 1;
        }
        const CharsetInfo& charset = charset_info(ctx.charset);
        if (modern(ctx)) return folded_words(value, ctx.charset, charset.word_form, lead, out);
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
        const std::string text = phrase_text(value != nullptr ? value : "", ctx.charset);
        if (modern(ctx)) return phrase_words(text, ctx.charset, out);
        if (ctx.charset == kUtf8) {
            out = utf8_words(text);
            return 0;
        }
        std::string encoded;
        const int status = b_word_text(text.c_str(), ctx.charset, encoded);
        if (status < 0) return status;
        out = std::string("=?") + charset_info(ctx.charset).mime_name + "?B?" + encoded + "?=";
    } catch (const std::bad_alloc&) {
        return -10;
    }
    return 0;
}

}  // namespace brevorin
