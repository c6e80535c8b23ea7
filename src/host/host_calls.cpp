// The two host runtime services the library uses, called with the context
// recorded at attach.
#include <cstring>

#include "host/host_calls.h"
#include "host/attach.h"
#include "host/host_runtime.h"

namespace brevorin {

int host_get_setting(int number, char* text_out, size_t capacity) {
    if (text_out == nullptr) return -1;
    const void* context = host_context();
    if (context == nullptr) return 0;  // not attached: every setting is absent
    uint32_t word;
    std::memcpy(&word, static_cast<const unsigned char*>(context) + 16, sizeof word);
    char own[host::kHostTextBuffer];
    int kind = host::kHostValueAbsent;
    int result =
        host::host_runtime_query(word, static_cast<uint16_t>(number), text_out, own, &kind);
    if (kind == host::kHostValueText && capacity > 0) {
        size_t n = strnlen(own, sizeof own);
        if (n > capacity - 1) n = capacity - 1;
        std::memcpy(text_out, own, n);
        text_out[n] = '\0';
    }
    return result;
}

void host_put_message(const char* text) {
    const void* context = host_context();
    if (context == nullptr) return;  // not attached: the line has nowhere to go
    host::host_runtime_put_message(context, text);
}

}  // namespace brevorin
