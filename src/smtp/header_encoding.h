// Encoders for outgoing text: quoted-printable and encoded words.
#pragma once

#include <string>

#include "core/context.h"

namespace brevorin {

// 1 nothing escaped, 0 something escaped, -1 no memory.
int qp_encode(const char* text, std::string& out);
// 1 value copied unchanged (7-bit), 0 encoded, -1 QP/Japanese failure, -10 no memory.
// A UTF-8 host's value becomes B words of at most 75 characters, folded
// one a line. Under the modern rules every value is folded so that its
// header line keeps within 78 characters where it can: 7-bit text at its
// blanks, 8-bit text as words of at most 75 characters (Q words with "_"
// for a blank, Japanese words each in ASCII at both ends); lead is what the
// line holds before the value ("Subject: ").
int encode_words(const char* value, std::string& out, const Context& ctx, size_t lead = 0);

// A phrase (a display name) holding 8-bit bytes as B words in the host
// charset (RFC 2047 leaves Q words in phrases few characters): 0, -1 when a
// Japanese conversion fails, -10 no memory. What is encoded is the name a
// reader shows: a quoted name loses its quotation marks and backslashes.
// The modern rules fold long names as encode_words does.
int encode_phrase_words(const char* value, std::string& out, const Context& ctx);

// RFC 2231's value-chars: attribute characters as they are, the rest %XX.
std::string rfc2231_value(const std::string& bytes);

// RFC 2231 "filename*=UTF-8''..." for a UTF-8 name holding 8-bit bytes;
// empty for a 7-bit name. (The modern rules write names of every charset,
// in continuations where long, as composition does.)
std::string utf8_file_name_parameters(const std::string& name);

// A UTF-8 value as folded B words (for a name= parameter readers of RFC 2047
// take).
std::string utf8_encoded_words(const std::string& value);

}  // namespace brevorin
