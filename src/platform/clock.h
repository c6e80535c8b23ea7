// The wall clock as a date, for the Date header of a sent message.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace brevorin::platform {

struct LocalTime {
    std::tm local{};
    std::tm utc{};
    std::string zone_name;  // as strftime's %Z gives it
};

// Now, in local time and in UTC. Safe to call from several threads: the C
// runtime's conversions share static storage (and the time-zone state), so
// they run one at a time.
LocalTime now();

// Milliseconds of a clock that only moves forward, for deadlines.
uint64_t monotonic_ms();

}  // namespace brevorin::platform
