#include "core/text.h"

#include <climits>
#include <cstring>

#include "core/limits.h"

namespace brevorin {

namespace {

bool is_c_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

void trim_spaces(std::string& text) {
    size_t first = 0;
    while (first < text.size() && is_c_space(static_cast<unsigned char>(text[first]))) ++first;
    if (first == text.size()) return;  // empty or white space only: unchanged
    size_t last = text.size();
    while (last > first && is_c_space(static_cast<unsigned char>(text[last - 1]))) --last;
    text = text.substr(first, last - first);
}

void trim_spaces(char* text) {
    if (text == nullptr) return;
    size_t len = std::strlen(text);
    size_t first = 0;
    while (first < len && is_c_space(static_cast<unsigned char>(text[first]))) ++first;
    if (first == len) return;
    size_t last = len;
    while (last > first && is_c_space(static_cast<unsigned char>(text[last - 1]))) --last;
    std::memmove(text, text + first, last - first);
    text[last - first] = '\0';
}

int parse_int_like_atoi(const char* text) {
    if (text == nullptr) return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (is_c_space(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    long long value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p++ - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    return static_cast<int>(value);
}

}  // namespace brevorin

namespace brevorin {

bool read_decimal(const char*& cursor, long long& value) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(cursor);
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    if (*p < '0' || *p > '9') return false;
    constexpr long long kCap = 1000000000000000000LL;
    long long v = 0;
    // Below a tenth of the cap one more digit cannot overflow; above it the
    // value is clamped anyway, however many digits follow.
    while (*p >= '0' && *p <= '9') {
        if (v <= kCap / 10)
            v = v * 10 + (*p - '0');
        else
            v = kCap;
        ++p;
    }
    if (v > kCap) v = kCap;
    value = negative ? -v : v;
    cursor = reinterpret_cast<const char*>(p);
    return true;
}

bool is_space(char c) {
    return is_c_space(static_cast<unsigned char>(c));
}

bool has_8bit(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

size_t utf8_lead_length(unsigned char c) {
    return c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
}

bool utf8_second_byte_ok(unsigned char lead, unsigned char second) {
    // Overlong forms, surrogates and values past U+10FFFF are ruled out here.
    unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    return second >= low && second <= high;
}

bool is_utf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length = utf8_lead_length(c);
        if (length == 0 || i + length > text.size()) return false;
        if (!utf8_second_byte_ok(c, static_cast<unsigned char>(text[i + 1]))) return false;
        for (size_t k = 2; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += length;
    }
    return true;
}

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::vector<std::string> split_field_list(std::string_view list) {
    std::vector<std::string> items;
    size_t pos = 0;
    while (pos < list.size()) {
        size_t end = list.find(kEsc, pos);
        if (end == std::string_view::npos) end = list.size();
        items.emplace_back(list.substr(pos, end - pos));
        pos = end + 1;
    }
    return items;
}

void append_without_esc(std::string& list, std::string_view value) {
    for (char c : value)
        if (c != kEsc) list += c;
}

std::string last_path_component(const std::string& name) {
    std::string rest = name;
    if (rest.size() >= 2 && rest[1] == ':' &&
        ((rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= 'a' && rest[0] <= 'z')))
        rest.erase(0, 2);
    size_t slash = rest.find_last_of("\\/");
    if (slash != std::string::npos) rest.erase(0, slash + 1);
    return rest;
}

int32_t clamp_int32(long long value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

std::string upper_case_copy(std::string_view text) {
    std::string copy(text);
    for (char& c : copy)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return copy;
}

void wipe(std::string& text) {
    volatile char* p = text.empty() ? nullptr : &text[0];
    for (size_t i = 0; i < text.size(); ++i) p[i] = 0;
    text.clear();
}

}  // namespace brevorin
