// The pause after POP3 authorisation goes through this seam so tests can
// replace it instead of waiting.
#pragma once

namespace brevorin::platform {

using SleepFunction = void (*)(unsigned milliseconds);

void sleep_ms(unsigned milliseconds);

// Replaces the sleep (null restores the real one).
void set_sleep_function(SleepFunction function);

}  // namespace brevorin::platform
