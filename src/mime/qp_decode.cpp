#include "mime/qp_decode.h"

#include <cstring>
#include <new>

#include "core/text.h"

namespace brevorin {

namespace {

constexpr char kEscapeMark = '=';

bool ends_line(char c) {
    return c == '\0' || c == '\r' || c == '\n';
}

// Decodes one line as held in the line buffer (its own ending included) and
// appends it to out. Returns whether an escape was decoded.
bool decode_line(const std::string& line, std::string& out) {
    bool decoded = false;
    const size_t n = line.size();
    size_t i = 0;
    while (i < n) {
        const char c = line[i];
        if (c != kEscapeMark) {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 == n) {  // "=" as the last character of the text
            out += c;
            ++i;
            continue;
        }
        const char first = line[i + 1];
        if (hex_digit_value(first) >= 0) {
            if (i + 2 == n) {
                out.append(line, i, 2);
                i += 2;
            } else if (hex_digit_value(line[i + 2]) >= 0) {
                out += static_cast<char>(16 * hex_digit_value(first) + hex_digit_value(line[i + 2]));
                decoded = true;
                i += 3;
            } else {
                out.append(line, i, 3);
                i += 3;
            }
        } else if (first == '\r' && i + 2 < n && line[i + 2] == '\n') {
            i += 3;  // soft line break: joins this line with the next
        } else {
            out.append(line, i, 2);
            i += 2;
        }
    }
    return decoded;
}

}  // namespace

int qp_decode(const char* text, std::string& out) {
    if (text == nullptr) text = "";
    int result = 1;
    try {
        std::string decoded;
        decoded.reserve(std::strlen(text));
        std::string line;
        line.reserve(kQpMaxLine + 2);
        const char* p = text;
        while (*p != '\0') {
            size_t length = 0;
            while (!ends_line(p[length])) {
                if (++length > static_cast<size_t>(kQpMaxLine)) return -1;
            }
            // Blanks before a line end carry nothing; encoders protect
            // meaningful ones with a soft line break.
            size_t kept = length;
            while (kept > 0 && is_blank(p[kept - 1])) --kept;
            line.assign(p, kept);
            p += length;
            if (*p == '\r') {
                line += *p++;
                if (*p == '\n') line += *p++;
            } else if (*p == '\n') {
                line += *p++;
            }
            if (decode_line(line, decoded)) result = 0;
        }
        out = std::move(decoded);
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return result;
}

}  // namespace brevorin
