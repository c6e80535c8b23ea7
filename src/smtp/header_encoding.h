// Encoders for outgoing text: quoted-printable and encoded words.
#pragma once

#include <string>

#include "core/context.h"

namespace brevorin {

// 1 nothing escaped, 0 something escaped, -1 no memory.
int qp_encode(const char* text, std::string& out);
// 1 value copied unchanged (7-bit), 0 encoded, -1 QP/Japanese failure, -10 no memory.
int encode_words(const char* value, std::string& out, const Context& ctx);

}  // namespace brevorin
