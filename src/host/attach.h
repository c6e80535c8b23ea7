// Host attachment state: the process-wide host context and the library hook.
#pragma once

#include <cstdint>

namespace brevorin {

// The host's context record as handed over at the last attach; null before.
const void* host_context();

// Library hook: told of load (1), last detach (2), attach (3), operation 2
// (4) and the codes passed with operation 5. It agrees (0) to everything.
int library_hook(int event);

// Attach state, exposed for tests.
int32_t attach_count();

// Lets tests watch the events the hook is told of (null to stop).
void set_hook_observer(void (*observer)(int event));

// Resets the attach state to what it is at load (tests only).
void reset_attach_state_for_tests();

}  // namespace brevorin

extern "C" int brevorin_library_hook(int event) noexcept;
