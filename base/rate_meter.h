// How fast a long operation moves and how long it still needs, from a moving
// window of recent samples: a pause or a burst fades out within the window
// instead of weighing on the rest of the run.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

class rate_meter {
public:
    using clock = std::chrono::steady_clock;

    // window: how far back samples count. min_span: how much time the
    // samples must cover before a rate is told (a rate from the first few
    // milliseconds says little).
    explicit rate_meter(clock::duration window = std::chrono::seconds(5),
                        clock::duration min_span = std::chrono::milliseconds(500));

    // `done` units (bytes) finished at `at`. A count below the last one
    // starts over: a new operation is being measured.
    void sample(std::uint64_t done, clock::time_point at);
    void reset() { samples_.clear(); }

    // Units a second over the window; none until the samples cover min_span.
    std::optional<double> rate() const;
    // Seconds until `total` at that rate; none while the rate is unknown or 0.
    std::optional<double> seconds_left(std::uint64_t total) const;

private:
    struct point {
        std::uint64_t done;
        clock::time_point at;
    };
    clock::duration window_;
    clock::duration min_span_;
    std::deque<point> samples_;
};
