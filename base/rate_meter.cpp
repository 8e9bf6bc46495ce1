#include "rate_meter.h"

rate_meter::rate_meter(clock::duration window, clock::duration min_span) : window_(window), min_span_(min_span) {}

void rate_meter::sample(std::uint64_t done, clock::time_point at)
{
    if (!samples_.empty() && (done < samples_.back().done || at < samples_.back().at))
        samples_.clear();
    samples_.push_back({done, at});
    // The oldest sample kept is the last one at or before the window's start,
    // so the window stays covered.
    while (samples_.size() > 2 && samples_[1].at <= at - window_)
        samples_.pop_front();
}

std::optional<double> rate_meter::rate() const
{
    if (samples_.size() < 2)
        return std::nullopt;
    const point& first = samples_.front();
    const point& last = samples_.back();
    const clock::duration span = last.at - first.at;
    if (span < min_span_ || span.count() <= 0)
        return std::nullopt;
    return static_cast<double>(last.done - first.done) / std::chrono::duration<double>(span).count();
}

std::optional<double> rate_meter::seconds_left(std::uint64_t total) const
{
    const std::optional<double> r = rate();
    if (!r || *r <= 0)
        return std::nullopt;
    const std::uint64_t done = samples_.back().done;
    return done >= total ? 0.0 : static_cast<double>(total - done) / *r;
}
