// Small text helpers shared by the receiving and sending sides.
#pragma once

#include <string>

namespace brevorin {

// Trims C-locale white space (space, \t, \n, \v, \f, \r) at both ends, in
// place. A text made of white space only is left unchanged.
void trim_spaces(std::string& text);
void trim_spaces(char* text);

// The C library's text-to-integer conversion without its undefined overflow:
// leading white space, an optional sign, digits; 0 when no digit comes first.
int parse_int_like_atoi(const char* text);

}  // namespace brevorin
