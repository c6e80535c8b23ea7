#include "mime/classic_fields.h"

#include <algorithm>
#include <cstring>

#include "mime/file_names.h"

namespace brevorin {

namespace {

constexpr std::string::size_type npos = std::string::npos;

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The white-space-delimited word that starts at or after pos (leading white
// space of any kind skipped); empty when only white space is left.
std::string next_word(const std::string& text, size_t pos) {
    while (pos < text.size() && is_space(text[pos])) ++pos;
    size_t end = pos;
    while (end < text.size() && !is_space(text[end])) ++end;
    return text.substr(pos, end - pos);
}

// A parameter value that may be quoted: pos stands just behind "NAME=".
// Quoted, it is the text behind the quote (leading white space skipped) up
// to the next double quote or apostrophe; unquoted, the next word. Values are
// taken from source at the positions found in the upper-cased copy.
std::string parameter_value(const std::string& upper, const std::string& source, size_t pos) {
    while (pos < upper.size() && (upper[pos] == ' ' || upper[pos] == '\r' || upper[pos] == '\n'))
        ++pos;
    if (pos < upper.size() && upper[pos] == '"') {
        ++pos;
        while (pos < upper.size() && is_space(upper[pos])) ++pos;
        size_t end = upper.find_first_of("\"'", pos);
        if (end == npos) end = upper.size();
        return source.substr(pos, end - pos);
    }
    return next_word(source, pos);
}

// The type token: up to a semicolon, space, apostrophe, CR or LF.
std::string type_token(const std::string& upper, size_t pos) {
    while (pos < upper.size() && is_space(upper[pos])) ++pos;
    size_t end = upper.find_first_of("; '\r\n", pos);
    if (end == npos) end = upper.size();
    return upper.substr(pos, std::min(end - pos, kMaxTokenLength));
}

int classify(const std::string& token, const std::string& upper, size_t after_label) {
    if (token == "MULTIPART/MIXED") return kClassMultipart;
    if (starts_with(token, "IMAGE/")) return kClassImage;
    if (starts_with(token, "AUDIO/") || starts_with(token, "VIDEO/")) return kClassOther;
    if (token == "APPLICATION/OCTET-STREAM") return kClassOctetStream;
    if (starts_with(token, "APPLICATION/")) return kClassOther;
    if (starts_with(token, "TEXT/") && upper.find("NAME=", after_label) != npos)
        return kClassNamedText;
    if (token == "TEXT/PLAIN") return kClassTextPlain;
    return kClassOther;
}

int read_boundary(const std::string& upper, const std::string& block, size_t after_label,
                  std::string& boundary, const Context& ctx) {
    size_t at = upper.find("BOUNDARY=", after_label);
    if (at == npos) {
        ctx.diag.print('E', 1, "GET_MIME_CONTENT_TYPE: Couldn't find boundary parameter");
        return -1;
    }
    std::string value = parameter_value(upper, block, at + 9);
    // A cut boundary would match the start of longer delimiters, so a value
    // over the limit is as unreadable as an empty one.
    if (value.empty() || value.size() > kMaxBoundaryLength) {
        ctx.diag.print('E', 1, "GET_MIME_CONTENT_TYPE: Couldn't read boundary parameter");
        return -1;
    }
    boundary = value;
    return 0;
}

int read_image_name(const std::string& upper, size_t after_label, const Context& ctx) {
    size_t at = upper.find("NAME=", after_label);
    if (at == npos) return 0;
    if (parameter_value(upper, upper, at + 5).empty()) {
        ctx.diag.print('E', 1, "GET_MIME_CONTENT_TYPE: Couldn't read name parameter");
        return -1;
    }
    return 0;
}

int read_charset(const std::string& upper, size_t after_label, int& charset, const Context& ctx) {
    size_t at = upper.find("CHARSET=", after_label);
    if (at == npos) {
        charset = kUsAscii;
        return 0;
    }
    size_t pos = at + 8;
    while (pos < upper.size() && (upper[pos] == ' ' || upper[pos] == '\r' || upper[pos] == '\n'))
        ++pos;
    std::string token;
    if (pos < upper.size() && upper[pos] == '"') {
        token = parameter_value(upper, upper, pos);
    } else {
        while (pos < upper.size() && is_space(upper[pos])) ++pos;
        size_t end = upper.find_first_of("; '\r\n", pos);
        if (end == npos) end = upper.size();
        token = upper.substr(pos, end - pos);
    }
    if (token.empty()) {
        ctx.diag.print('E', 1, "GET_MIME_CONTENT_TYPE: Couldn't read charset parameter");
        return -1;
    }
    int code = token.size() <= kMaxTokenLength ? charset_from_mime_name(token) : -1;
    if (code < 0) return -1;
    charset = code;
    return 0;
}

}  // namespace

int mime_version(const HeaderBlock& block, char* minor, char* major, const Context& ctx) {
    if (!block.present()) return -1;
    const std::string& upper = block.upper();
    size_t at = upper.find("MIME-VERSION: ");
    if (at == npos) return -2;
    size_t major_at = upper.find_first_of("0123456789", at + 14);
    if (major_at == npos) return -2;
    size_t dot = upper.find('.', major_at + 1);
    if (dot == npos) return -2;
    size_t minor_at = upper.find_first_of("0123456789", dot + 1);
    if (minor_at == npos) return -2;
    if (major != nullptr) *major = upper[major_at];
    if (minor != nullptr) *minor = upper[minor_at];
    ctx.diag.print('F', 0, "GET_MIME_VERSION: Done reading MIME version");
    return 0;
}

int mime_content_type(const HeaderBlock& block, int& content_class, std::string& boundary,
                      int& charset, const Context& ctx) {
    if (!block.present()) return -1;
    const std::string& upper = block.upper();
    size_t at = upper.find("CONTENT-TYPE:");
    if (at == npos) return -1;
    size_t after_label = at + 13;
    std::string token = type_token(upper, after_label);
    if (token.empty()) return -1;
    content_class = classify(token, upper, after_label);
    switch (content_class) {
        case kClassMultipart:
            return read_boundary(upper, block.classic_text(), after_label, boundary, ctx);
        case kClassImage:
            return read_image_name(upper, after_label, ctx);
        case kClassTextPlain:
            return read_charset(upper, after_label, charset, ctx);
        default:
            return 0;
    }
}

int content_transfer_encoding(const HeaderBlock& block, int& code, const Context& ctx) {
    if (!block.present()) return -1;
    const std::string& upper = block.upper();
    size_t at = upper.find("CONTENT-TRANSFER-ENCODING:");
    if (at == npos) return -1;
    std::string word = next_word(upper, at + 26);
    static const struct {
        const char* name;
        int code;
    } kTable[] = {{"BASE64", kEncodingBase64},
                  {"7BIT", kEncoding7bit},
                  {"8BIT", kEncoding8bit},
                  {"BINARY", kEncodingBinary},
                  {"QUOTED-PRINTABLE", kEncodingQuotedPrintable}};
    for (const auto& row : kTable) {
        if (word == row.name) {
            code = row.code;
            ctx.diag.print('F', 0,
                           "GET_CONTENT_TRANSFER_ENCODING: Done reading Content-Transfer-Encoding");
            return 0;
        }
    }
    return -1;
}

void file_disposition(const HeaderBlock& block, std::string& name, const Context& ctx) {
    name.clear();
    if (!block.present()) return;
    const std::string& upper = block.upper();
    size_t at = upper.find("CONTENT-DISPOSITION:");
    if (at == npos) return;
    size_t filename = upper.find("FILENAME=", at + 20);
    if (filename == npos) return;
    size_t after = filename + 9;
    const std::string& source = block.classic_text();
    size_t quote = upper.find('"', after);
    std::string value;
    if (quote != npos) {
        size_t close = upper.find('"', quote + 1);
        if (close == npos) return;
        value = source.substr(quote + 1, close - quote - 1);
    } else {
        value = next_word(source, after);
        if (value.empty()) return;
    }
    name = last_path_component(value);
    if (name.size() > kMaxFileNameLength) name.resize(kMaxFileNameLength);
    ctx.diag.print('F', 0, "GET_FILE_DISPOSITION: Done reading file disposition, result: %s",
                   name.c_str());
}

}  // namespace brevorin
