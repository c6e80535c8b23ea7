// Conversion of text between character sets by the platform's own
// converter: iconv on POSIX systems, the code-page functions of kernel32 in
// the Windows DLL (so the DLL imports nothing new).
#pragma once

#include <string>
#include <string_view>

namespace brevorin::platform {

// A character set as both converters name it: the converter name for iconv,
// the code page for Windows (0 when Windows has none).
struct TextEncoding {
    std::string name;
    unsigned code_page = 0;
};

enum class Converted {
    kExact,        // every character carried over
    kLossy,        // some became '?': the target lacks them or the input was malformed
    kUnsupported,  // the converter knows one of the two sets; out untouched
};

Converted convert_text(const TextEncoding& from, const TextEncoding& to, std::string_view in,
                       std::string& out);

}  // namespace brevorin::platform
