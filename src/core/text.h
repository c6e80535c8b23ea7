// Small text helpers shared by the receiving and sending sides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brevorin {

// An owned text that may be absent (null until set).
using OwnedText = std::optional<std::string>;

// Trims C-locale white space (space, \t, \n, \v, \f, \r) at both ends, in
// place. A text made of white space only is left unchanged.
void trim_spaces(std::string& text);
void trim_spaces(char* text);

// The C library's text-to-integer conversion without its undefined overflow:
// leading white space, an optional sign, digits; 0 when no digit comes first.
int parse_int_like_atoi(const char* text);

}  // namespace brevorin

namespace brevorin {

// One decimal number the way "%d" reads it (leading white space, optional
// sign, digits), without overflow: values beyond +-10^18 are clamped. Moves
// cursor past it; false when no digit comes.
bool read_decimal(const char*& cursor, long long& value);

// The value clamped to the int32 range.
int32_t clamp_int32(long long value);

// C-locale white space: space, \t, \n, \v, \f, \r.
bool is_space(char c);
// Space or tab: the blanks of a header or quoted-printable line.
inline bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Whether the text holds a byte of 0x80 or above.
bool has_8bit(std::string_view text);

// The length of the well-formed UTF-8 sequence lead byte c starts (2 to 4),
// 0 for a byte that starts none; and whether second may follow that lead.
size_t utf8_lead_length(unsigned char c);
bool utf8_second_byte_ok(unsigned char lead, unsigned char second);

// Whether the text is well-formed UTF-8 (shortest forms, no surrogates,
// nothing past U+10FFFF).
bool is_utf8(std::string_view text);

// The value of a hexadecimal digit of either case, or -1.
int hex_digit_value(char c);

// The items of a field list (ESC-separated), in order. An empty list has
// none, and an ESC at the end adds no empty item.
std::vector<std::string> split_field_list(std::string_view list);

// Appends a value to a field list item. ESC is what separates the items, so
// an ESC inside a value (ISO-2022 text not converted for the host, or a
// forged header) would hand the host items it never had: it is left out.
void append_without_esc(std::string& list, std::string_view value);

// The name without drive and directories ("C:\\temp\\a.txt", "../a.txt" and
// "a.txt" all give "a.txt"); both separators count.
std::string last_path_component(const std::string& name);

// a-z turned into A-Z, nothing else changed, so positions stay the same.
std::string upper_case_copy(std::string_view text);

// Overwrites a text that held a secret before its memory is released.
void wipe(std::string& text);

}  // namespace brevorin
