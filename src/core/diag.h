// Diagnostics lines: "BREVORIN: <kL> text", handed one at a time to the
// host's message output while the session traces.
#pragma once

#include <cstdarg>

namespace brevorin {

// Longest line handed out, terminator included; longer texts are cut.
constexpr int kDiagLineSize = 1040;

class Diag {
public:
    using Sink = void (*)(const char* line);

    Diag() = default;
    Diag(bool enabled, Sink sink) : enabled_(enabled), sink_(sink) {}

    bool enabled() const { return enabled_ && sink_ != nullptr; }

    // kind: 'E' error, 'W' warning, 'F' flow, 'D' data; level 0..9.
    void print(char kind, int level, const char* format, ...) const
#if defined(__GNUC__)
        __attribute__((format(printf, 4, 5)))
#endif
        ;

private:
    bool enabled_ = false;
    Sink sink_ = nullptr;
};

}  // namespace brevorin
