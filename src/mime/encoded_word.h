// Decoding of header values holding MIME encoded words.
#pragma once

#include <string>

#include "core/context.h"

namespace brevorin {

// 0 with out replaced; -1 malformed word or failed Japanese conversion; -10 no
// memory or a failed base64/quoted-printable decoding. out is written only on
// success.
int decode_encoded_words(const char* value, std::string& out, const Context& ctx);

}  // namespace brevorin
