#include "json_progress.h"

#include "progress_bar.h"

#include <cmath>

namespace {

constexpr auto min_interval = std::chrono::milliseconds(250);

// Rounded to what a reader can use, or null when not known yet.
json_out::object rounded(const std::optional<double>& v, double step)
{
    return v ? json_out::object(std::round(*v / step) * step) : json_out::object(nullptr);
}

} // namespace

json_progress::json_progress(json_out::object context) : context_(std::move(context)) {}

void json_progress::started()
{
    const std::lock_guard guard(lock_);
    meter_.reset();
    last_emit_ = {};
    pending_ = false;
    last_done_ = last_total_ = UINT64_MAX;
}

void json_progress::changed()
{
    const std::uint64_t done = value();
    const std::uint64_t total = max_value();
    const auto now = std::chrono::steady_clock::now();
    const std::string text = message();
    const std::lock_guard guard(lock_);
    meter_.sample(done, now);
    if (done == last_done_ && total == last_total_ && text == last_message_)
        return;
    if (now - last_emit_ < min_interval && done < total) {
        pending_ = true;
        return;
    }
    last_emit_ = now;
    emit_now(done, total, text);
}

void json_progress::finished()
{
    const std::lock_guard guard(lock_);
    if (pending_)
        emit_now(value(), max_value(), message());
}

void json_progress::emit_now(std::uint64_t done, std::uint64_t total, const std::string& text)
{
    pending_ = false;
    last_done_ = done;
    last_total_ = total;
    last_message_ = text;
    json_out::object fields = context_;
    fields.update({{"message", text},
                   {"done", done},
                   {"total", total},
                   {"rate", rounded(meter_.rate(), 1)},
                   {"seconds_left", rounded(meter_.seconds_left(total), 0.1)}});
    json_out::emit("progress", std::move(fields));
}

std::unique_ptr<progress_handler> command_progress()
{
    if (json_out::enabled())
        return std::make_unique<json_progress>();
    return std::make_unique<progress_bar>(stderr);
}
