#include "rate_meter.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct rate_case {
    const char* name;
    std::vector<std::pair<int, std::uint64_t>> samples;  // milliseconds, bytes done
    std::optional<double> rate;                          // bytes a second
    std::optional<double> left;                          // seconds to 10 MB
};

TEST(RateMeter, RateFromTheRecentWindowAndTimeLeftAtThatRate)
{
    constexpr std::uint64_t total = 10'000'000;
    const rate_case cases[] = {
        {"one sample", {{0, 0}}, std::nullopt, std::nullopt},
        {"too short to tell", {{0, 0}, {200, 1'000'000}}, std::nullopt, std::nullopt},
        {"steady 2 MB/s", {{0, 0}, {1000, 2'000'000}, {2000, 4'000'000}}, 2e6, 3.0},
        // A slow start older than the 5 s window no longer counts.
        {"slow start forgotten", {{0, 0}, {10000, 100'000}, {15000, 5'100'000}, {20000, 10'100'000}}, 1e6, 0.0},
        {"stalled", {{0, 1'000'000}, {1000, 1'000'000}}, 0.0, std::nullopt},
        // A count that goes back is a new operation: measured from there.
        {"starts over", {{0, 0}, {1000, 9'000'000}, {1500, 0}, {2500, 500'000}}, 500'000.0, 19.0},
    };
    const auto t0 = rate_meter::clock::time_point{} + 1h;
    for (const rate_case& c : cases) {
        rate_meter m;
        for (const auto& [ms, done] : c.samples)
            m.sample(done, t0 + std::chrono::milliseconds(ms));
        EXPECT_EQ(c.rate, m.rate()) << c.name;
        EXPECT_EQ(c.left, m.seconds_left(total)) << c.name;
    }
}

} // namespace
