// One handset's flash as brv reports it, alike for `flash`, `flash --all` and
// `station`: with --json its phases, progress and partitions become events
// that name the handset, and its end a "result" event; in every mode the
// result (handset, start time, duration, bytes, outcome) is kept for the
// caller's own lines.
#pragma once

#include "attached_handset.h"
#include "cancel_request.h"
#include "flash.h"
#include "flash_options.h"
#include "json_output.h"
#include "json_progress.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

// What a flash cut short by a cancel says: "Cancelled: <n> OS partition(s)
// not written; the handset was reset".
std::string skipped_text(const flash_result& result);

class flash_report {
public:
    flash_report(const attached_handset& handset, std::string source);

    // Hooks the report into the options' observers (keeping any already set).
    void observe(flash_options& options);
    // With --json a handler that reports this handset's progress as events,
    // else `display`.
    progress_handler& progress(progress_handler& display);

    // Runs the flash and emits the "result" event. A flash a cancel cut short
    // (OS partitions skipped) counts as a failure (reason "cancelled"). An
    // exception from `flash` is described in the result and thrown on.
    // Returns what the flash returned.
    flash_result run(const std::function<flash_result()>& flash);
    // The result of a flash that could not begin (the handset did not open).
    void failed(const std::exception& e);

    // After run(): {"handset", "source", "host", "started", "seconds",
    // "bytes", "partitions", "ok", "error"}.
    const json_out::object& result() const { return result_; }
    bool ok() const { return ok_; }
    // The error's text, empty after a success.
    const std::string& error_text() const { return error_text_; }

    static json_out::object handset_json(const attached_handset& handset);

private:
    void finish(std::chrono::system_clock::time_point started, std::chrono::steady_clock::time_point t0,
                const json_out::object& error);

    json_out::object handset_;
    std::string source_;
    json_progress json_;
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<unsigned> written_{0}, verified_{0}, erased_{0}, skipped_{0};
    json_out::object result_;
    bool ok_ = false;
    std::string error_text_;
};

// The outcomes of several flashes: how many succeeded and failed, and the
// failures by reason.
class flash_tally {
public:
    void add(const flash_report& report);
    unsigned flashed() const { return flashed_; }
    unsigned failed() const { return failed_; }
    // {"flashed": n, "failed": n, "by_reason": {"left_bus": n, ...}}
    json_out::object json() const;
    // "3 flashed, 1 failed (left_bus: 1)"
    std::string text() const;

private:
    unsigned flashed_ = 0, failed_ = 0;
    std::map<std::string, unsigned> by_reason_;
};

// The host's name, for results gathered from several stations.
std::string host_name();
