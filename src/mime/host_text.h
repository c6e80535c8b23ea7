// Received text brought into the host's character set, for mime=modern and
// for hosts that work in UTF-8.
#pragma once

#include <string>

#include "core/context.h"

namespace brevorin {

// Whether received text and encoded words are converted to the host's set.
bool converts_for_host(const Context& ctx);

enum class HostText {
    kConverted,  // every character carried over
    kLossy,      // some became '?'
    kKept,       // left as received: same set, undeclared, or unknown to the converter
};

// Converts text declared in charset (a MIME token, any case) to the host's
// character set.
HostText to_host_charset(const std::string& charset, std::string& text, const Context& ctx);

// The same for a charset known only by the code the classic readers give;
// kKept for codes without a MIME row.
HostText to_host_charset(int code, std::string& text, const Context& ctx);

}  // namespace brevorin
