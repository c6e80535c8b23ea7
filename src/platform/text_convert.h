// Conversion of text between character sets by the platform's own
// converter: iconv on POSIX systems, the code-page functions of kernel32 in
// the Windows DLL (so the DLL imports nothing new).
#pragma once

#include <cstddef>
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

// With malformed given, each sequence of the input that the source set
// cannot read becomes U+FFFD (a '?' where the target lacks it) and is
// counted there; without, it becomes a '?' as any lost character does.
Converted convert_text(const TextEncoding& from, const TextEncoding& to, std::string_view in,
                       std::string& out, size_t* malformed = nullptr);

}  // namespace brevorin::platform
