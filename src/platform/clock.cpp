#include "platform/clock.h"

#include <chrono>

#include "platform/lock.h"

namespace brevorin::platform {

namespace {

Lock& clock_lock() {
    static Lock lock;
    return lock;
}

}  // namespace

LocalTime now() {
    LocalTime time;
    std::time_t seconds = std::time(nullptr);
    Hold hold(clock_lock());
    // Copied at once: both calls share static storage in the C runtime.
    if (const std::tm* local = std::localtime(&seconds)) time.local = *local;
    if (const std::tm* utc = std::gmtime(&seconds)) time.utc = *utc;
    char zone[128];
    size_t n = std::strftime(zone, sizeof zone, "%Z", &time.local);
    time.zone_name.assign(zone, n);
    return time;
}

uint64_t monotonic_ms() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace brevorin::platform
