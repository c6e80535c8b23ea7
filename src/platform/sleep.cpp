#include "platform/sleep.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <time.h>
#include <cerrno>
#endif

namespace brevorin::platform {

namespace {

void os_sleep(unsigned milliseconds) {
#if defined(_WIN32)
    ::Sleep(milliseconds);
#else
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
#endif
}

SleepFunction g_sleep = nullptr;

}  // namespace

void sleep_ms(unsigned milliseconds) { (g_sleep != nullptr ? g_sleep : os_sleep)(milliseconds); }

void set_sleep_function(SleepFunction function) { g_sleep = function; }

}  // namespace brevorin::platform
