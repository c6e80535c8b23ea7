#include "platform/clock.h"

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

}  // namespace brevorin::platform
