// Progress as brv --json reports it: "progress" events with the bytes done and
// in all, the rate and the time left (from a moving average), at most four a
// second, plus the first and the last state of each report.
#pragma once

#include "json_output.h"
#include "progress.h"
#include "rate_meter.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class json_progress : public progress_handler {
public:
    // `context` joins every event (the handset of a flash, for instance).
    explicit json_progress(json_out::object context = json_out::object::object());

    void started() override;
    void changed() override;
    void finished() override;

private:
    void emit_now(std::uint64_t done, std::uint64_t total, const std::string& text);

    json_out::object context_;
    std::mutex lock_;  // a report's notifications come from its one thread; this keeps the pacing whole anyway
    rate_meter meter_;
    std::chrono::steady_clock::time_point last_emit_{};
    bool pending_ = false;  // a change not written yet
    // What the last event said, so that no event repeats it.
    std::uint64_t last_done_ = 0, last_total_ = 0;
    std::string last_message_;
};

// The progress display of a command: JSON events with --json, else the bar
// on stderr.
std::unique_ptr<progress_handler> command_progress();
