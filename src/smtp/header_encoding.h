// Encoders for outgoing text: quoted-printable and encoded words.
#pragma once

#include <string>

#include "api/session.h"

namespace brevorin {

// 1 nothing escaped, 0 something escaped, -1 no memory.
int QP_ENCODE(const char* text, std::string& out);
// 1 value copied unchanged (7-bit), 0 encoded, -1 QP/Japanese failure, -10 no memory.
int ENCODED_WORD_ENCODE(const char* value, std::string& out, const MailSession* session);

}  // namespace brevorin
