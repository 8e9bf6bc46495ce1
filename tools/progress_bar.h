// Shows an operation's progress on a stream (stderr in practice): a redrawn
// bar with percentage, rate, time left and message on a terminal, plain
// "NN% message" lines otherwise (one per change of either, so logs stay short).
#pragma once

#include "progress.h"
#include "rate_meter.h"

#include <chrono>
#include <optional>
#include <cstdint>
#include <cstdio>
#include <string>

class progress_bar : public progress_handler {
public:
    explicit progress_bar(std::FILE* out);

    void started() override;
    void changed() override;
    void finished() override;

private:
    void draw(std::uint32_t percent, const std::string& text);
    std::string speed_text() const;

    std::FILE* out_;
    bool terminal_;
    bool drawn_ = false;
    std::uint32_t last_percent_ = 0;
    std::string last_message_;
    rate_meter meter_;
    std::chrono::steady_clock::time_point last_draw_{};
};

// "12.3 MB/s" (MB of 10^6 bytes); "1:05" or "1:02:05" for a duration in seconds.
std::string rate_text(double bytes_per_second);
std::string duration_text(double seconds);
