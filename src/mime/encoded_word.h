// Decoding of header values holding MIME encoded words.
#pragma once

#include <string>

#include "core/context.h"

namespace brevorin {

// 0 with out replaced; -1 malformed word or failed Japanese conversion; -10 no
// memory or a failed base64/quoted-printable decoding. out is written only on
// success.
//
// Where received text is converted for the host (converts_for_host), the
// value is read by RFC 2047 instead, as decode_words_for_host does, and 0
// is returned.
int decode_encoded_words(const char* value, std::string& out, const Context& ctx);

// RFC 2047 decoding into the host's character set: folds unfolded, white
// space between two encoded words dropped, "_" in Q words a space, adjacent
// words of one charset joined before conversion (a character may be split
// across them), malformed words kept as they are. lossy (may be null) is
// set when a character became '?'.
std::string decode_words_for_host(const std::string& value, const Context& ctx, bool* lossy);

}  // namespace brevorin
