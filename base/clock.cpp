#include "clock.h"

#include <time.h>

namespace {
constexpr std::uint64_t ns_per_s = 1000000000;
constexpr std::uint64_t ns_per_us = 1000;
constexpr std::int32_t us_per_s = 1000000;
constexpr std::uint32_t ms_per_s = 1000;
constexpr std::int32_t us_per_ms = 1000;
} // namespace

time_point_us monotonic_now()
{
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ns = static_cast<std::uint64_t>(ts.tv_sec) * ns_per_s + static_cast<std::uint64_t>(ts.tv_nsec);
    return {ns / ns_per_s, static_cast<std::int32_t>((ns % ns_per_s) / ns_per_us)};
}

time_point_us time_add_ms(time_point_us t, std::uint32_t ms)
{
    t.seconds += ms / ms_per_s;
    t.microseconds += static_cast<std::int32_t>(ms % ms_per_s) * us_per_ms;
    if (t.microseconds >= us_per_s) {
        t.microseconds -= us_per_s;
        ++t.seconds;
    }
    return t;
}

time_point_us time_diff(time_point_us a, time_point_us b)
{
    time_point_us d{a.seconds - b.seconds, a.microseconds - b.microseconds};
    if (d.microseconds < 0) {
        d.microseconds += us_per_s;
        --d.seconds;
    }
    return d;
}

bool time_before(time_point_us a, time_point_us b)
{
    return a.seconds < b.seconds || (a.seconds == b.seconds && a.microseconds < b.microseconds);
}
