// Encoders for outgoing text: quoted-printable and encoded words.
#pragma once

#include <string>

#include "core/context.h"

namespace brevorin {

// 1 nothing escaped, 0 something escaped, -1 no memory.
int qp_encode(const char* text, std::string& out);
// 1 value copied unchanged (7-bit), 0 encoded, -1 QP/Japanese failure, -10 no memory.
// A UTF-8 host's value becomes B words of at most 75 characters, folded
// one a line.
int encode_words(const char* value, std::string& out, const Context& ctx);

// A phrase (a display name) holding 8-bit bytes as B words in the host
// charset (RFC 2047 leaves Q words in phrases few characters): 0, -1 when a
// Japanese conversion fails, -10 no memory.
int encode_phrase_words(const char* value, std::string& out, const Context& ctx);

// RFC 2231 "filename*=UTF-8''..." for a UTF-8 name holding 8-bit bytes;
// empty for a 7-bit name.
std::string utf8_file_name_parameters(const std::string& name);

// A UTF-8 value as folded B words (for a name= parameter readers of RFC 2047
// take).
std::string utf8_encoded_words(const std::string& value);

}  // namespace brevorin
