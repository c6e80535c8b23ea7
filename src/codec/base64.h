// Base64 (RFC 2045 alphabet), in memory and file to file.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "core/context.h"

namespace brevorin {

// Encoded lines are broken with a single LF after every 72 characters.
constexpr int kBase64LineLength = 72;

// 0, or -1 when memory runs out. wrap != 0 breaks lines.
int base64_encode_text(const char* text, std::string& out, int wrap);
// 0, or -1 for incomplete input or no memory. The result ends at the first
// decoded zero byte (it is handed back as a terminated text).
int base64_decode_text(const char* text, std::string& out);
// Characters written (line feeds included), or -1.
int base64_encode(std::FILE* in, std::FILE* out, const Context& ctx);
// Any bytes (NULs too), unbroken.
std::string base64_encode_bytes(std::string_view bytes);
// 0 or -1.
int base64_decode(std::FILE* in, std::FILE* out, const Context& ctx);

}  // namespace brevorin
