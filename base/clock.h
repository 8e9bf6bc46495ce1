// Monotonic time points with microsecond resolution, for USB read deadlines.
#pragma once

#include <cstdint>

struct time_point_us {
    std::uint64_t seconds = 0;
    std::int32_t microseconds = 0;  // 0 to 999999
};

// A clock that never goes backwards.
time_point_us monotonic_now();
time_point_us time_add_ms(time_point_us t, std::uint32_t ms);
// a - b, borrowing from the seconds when the microseconds go negative.
time_point_us time_diff(time_point_us a, time_point_us b);
// True when a is strictly earlier than b.
bool time_before(time_point_us a, time_point_us b);
