#include "core/diag.h"

#include <cstdio>

namespace brevorin {

void Diag::print(char kind, int level, const char* format, ...) const {
    if (!enabled() || level < 0 || level > 9) return;
    char line[kDiagLineSize];
    // The prefix is always 15 characters: "BREVORIN: <" kind digit "> ".
    std::snprintf(line, sizeof line, "BREVORIN: <%c%d> ", kind, level);
    constexpr size_t kPrefix = 15;
    va_list args;
    va_start(args, format);
    // vsnprintf cuts an over-long message at the line's size.
    std::vsnprintf(line + kPrefix, sizeof line - kPrefix, format, args);
    va_end(args);
    sink_(line);
}

}  // namespace brevorin
