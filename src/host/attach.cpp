#include "host/attach.h"

#include "brevorin.h"
#include "platform/lock.h"

namespace brevorin {

namespace {

int32_t g_attach_count = 0;
const void* g_host_context = nullptr;
void (*g_hook_observer)(int) = nullptr;
// Sessions on other threads read the context while the host attaches.
platform::Lock g_attach_lock;

}  // namespace

const void* host_context() {
    platform::Hold hold(g_attach_lock);
    return g_host_context;
}

int library_hook(int event) {
    if (g_hook_observer != nullptr) g_hook_observer(event);
    return 0;
}

void set_hook_observer(void (*observer)(int event)) { g_hook_observer = observer; }

int32_t attach_count() {
    platform::Hold hold(g_attach_lock);
    return g_attach_count;
}

void reset_attach_state_for_tests() {
    platform::Hold hold(g_attach_lock);
    g_attach_count = 0;
    g_host_context = nullptr;
}

}  // namespace brevorin

extern "C" int brevorin_library_hook(int event) noexcept { return brevorin::library_hook(event); }

extern "C" BREVORIN_API void TLOADDS(void) noexcept {}

extern "C" BREVORIN_API brevorin_word _TCONNECT(brevorin_word operation, brevorin_word a,
                                                brevorin_word b) noexcept {
    using namespace brevorin;
    (void)a;
    switch (static_cast<uint16_t>(operation & 0xFFFF)) {
        case 1: {  // attach: b is the host's context record
            {
                platform::Hold hold(g_attach_lock);
                g_host_context = reinterpret_cast<const void*>(b);
                ++g_attach_count;
            }
            if (library_hook(3) != 0) {
                platform::Hold hold(g_attach_lock);
                --g_attach_count;
                return 0;
            }
            return 1;
        }
        case 2:
            library_hook(4);
            return 0;
        case 3:
            return b;
        case 4:
            return 0;
        case 5:
            library_hook(static_cast<int>(b));
            return 0;
        case 6: {  // detach; the recorded context and handle stay
            bool last;
            {
                platform::Hold hold(g_attach_lock);
                last = --g_attach_count == 0;
            }
            if (last) library_hook(2);
            return 0;
        }
        default:
            return 0;
    }
}
