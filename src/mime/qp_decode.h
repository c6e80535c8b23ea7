// Quoted-printable decoding of received text.
#pragma once

#include <string>

namespace brevorin {

// Longest line qp_decode takes, line ending not counted.
constexpr int kQpMaxLine = 2046;

// 0 when an escape was decoded, 1 when none was, -1 when a line is too long
// or memory runs out (out untouched then).
int qp_decode(const char* text, std::string& out);

}  // namespace brevorin
