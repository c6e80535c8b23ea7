// Small text helpers shared by the receiving and sending sides.
#pragma once

#include <string>

namespace brevorin {

// Trims C-locale white space (space, \t, \n, \v, \f, \r) at both ends, in
// place. A text made of white space only is left unchanged.
void TRIM_SPACES(std::string& text);
void TRIM_SPACES(char* text);

// A new empty text; workers hand it out when they have nothing.
inline std::string EMPTY_TEXT() { return std::string(); }

// The C library's text-to-integer conversion without its undefined overflow:
// leading white space, an optional sign, digits; 0 when no digit comes first.
int parse_int_like_atoi(const char* text);

}  // namespace brevorin
