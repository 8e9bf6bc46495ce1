#include "flash_report.h"

#include <cmath>

#include <unistd.h>

std::string skipped_text(const flash_result& result)
{
    return "Cancelled: " + std::to_string(result.skipped) + " OS partition" + (result.skipped == 1 ? "" : "s") +
           " not written; the handset was reset";
}

namespace {

const char* outcome_name(partition_outcome::what what)
{
    switch (what) {
    case partition_outcome::what::written: return "written";
    case partition_outcome::what::verified: return "verified";
    case partition_outcome::what::erased: return "erased";
    case partition_outcome::what::skipped: break;
    }
    return "skipped";
}

} // namespace

std::string host_name()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}

json_out::object flash_report::handset_json(const attached_handset& h)
{
    return {{"port", h.port}, {"serial", h.serial.empty() ? json_out::object(nullptr) : json_out::object(h.serial)}};
}

flash_report::flash_report(const attached_handset& handset, std::string source)
    : handset_(handset_json(handset)), source_(std::move(source)), json_(json_out::object{{"handset", handset_}})
{
}

void flash_report::observe(flash_options& options)
{
    auto previous_phase = options.on_phase;
    options.on_phase = [this, previous_phase](const std::string& phase) {
        json_out::emit("phase", {{"handset", handset_}, {"phase", phase}});
        if (previous_phase)
            previous_phase(phase);
    };
    auto previous_partition = options.on_partition;
    options.on_partition = [this, previous_partition](const partition_outcome& p) {
        bytes_ += p.bytes;
        ++(p.outcome == partition_outcome::what::written    ? written_
           : p.outcome == partition_outcome::what::verified ? verified_
           : p.outcome == partition_outcome::what::erased   ? erased_
                                                            : skipped_);
        json_out::emit("partition", {{"handset", handset_},
                                     {"label", p.label},
                                     {"lun", p.lun},
                                     {"file", p.filename},
                                     {"bytes", p.bytes},
                                     {"outcome", outcome_name(p.outcome)},
                                     {"reason", p.reason.empty() ? json_out::object(nullptr) : json_out::object(p.reason)}});
        if (previous_partition)
            previous_partition(p);
    };
}

progress_handler& flash_report::progress(progress_handler& display)
{
    return json_out::enabled() ? static_cast<progress_handler&>(json_) : display;
}

flash_result flash_report::run(const std::function<flash_result()>& flash)
{
    const auto started = std::chrono::system_clock::now();
    const auto t0 = std::chrono::steady_clock::now();
    flash_result result;
    try {
        result = flash();
    } catch (const std::exception& e) {
        error_text_ = e.what();
        finish(started, t0, json_out::error_of(e));
        throw;
    }
    if (result.skipped != 0) {
        error_text_ = skipped_text(result);
        json_out::object error = json_out::error_of(error_text_, "cancelled");
        error["written"] = written_ + verified_ + erased_ > 0;
        finish(started, t0, error);
        return result;
    }
    ok_ = true;
    finish(started, t0, nullptr);
    return result;
}

void flash_report::failed(const std::exception& e)
{
    error_text_ = e.what();
    finish(std::chrono::system_clock::now(), std::chrono::steady_clock::now(), json_out::error_of(e));
}

void flash_report::finish(std::chrono::system_clock::time_point started, std::chrono::steady_clock::time_point t0,
                          const json_out::object& error)
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    result_ = {{"handset", handset_},
               {"source", source_},
               {"host", host_name()},
               {"started", json_out::utc_time(started)},
               {"seconds", std::round(seconds * 1000) / 1000},
               {"bytes", bytes_.load()},
               {"partitions", {{"written", written_.load()}, {"verified", verified_.load()}, {"erased", erased_.load()}, {"skipped", skipped_.load()}}},
               {"ok", ok_},
               {"error", error}};
    json_out::emit("result", result_);
}

void flash_tally::add(const flash_report& report)
{
    if (report.ok()) {
        ++flashed_;
        return;
    }
    ++failed_;
    ++by_reason_[report.result()["error"].value("reason", "other")];
}

json_out::object flash_tally::json() const
{
    return {{"flashed", flashed_}, {"failed", failed_}, {"by_reason", by_reason_}};
}

std::string flash_tally::text() const
{
    std::string text = std::to_string(flashed_) + " flashed, " + std::to_string(failed_) + " failed";
    std::string reasons;
    for (const auto& [reason, n] : by_reason_)
        reasons += (reasons.empty() ? "" : ", ") + reason + ": " + std::to_string(n);
    return reasons.empty() ? text : text + " (" + reasons + ")";
}
