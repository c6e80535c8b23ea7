// The host runtime services the library calls, with the context recorded at
// attach.
#pragma once

#include <cstddef>

namespace brevorin {

// text_out receives a text value, cut to capacity - 1 bytes and terminated.
// The setting's integer value, or 0 when it is absent (also before attach).
int host_get_setting(int number, char* text_out, size_t capacity);
// Hands one diagnostics line to the host; dropped before attach.
void host_put_message(const char* text);

}  // namespace brevorin
