#include "progress.h"

#include <exception>

#include <stdexcept>

namespace {
// Above this, value * 100 could overflow 64 bits.
constexpr std::uint64_t percent_overflow_limit = 0x28F5C28F5C28F5CULL;
constexpr std::uint64_t hundred = 100;
} // namespace

void progress_handler::init(std::uint64_t m)
{
    std::lock_guard<std::mutex> l(lock_);
    max_ = m;
    value_ = 0;
}

std::uint32_t progress_handler::percent() const
{
    std::lock_guard<std::mutex> l(lock_);
    if (max_ == 0)
        return 0;
    std::uint64_t result;
    if (max_ >= percent_overflow_limit)
        result = ((value_ / hundred) * hundred) / (max_ / hundred);
    else
        result = (value_ * hundred) / max_;
    return static_cast<std::uint32_t>(result);
}

std::string progress_handler::message() const
{
    std::lock_guard<std::mutex> l(lock_);
    return message_;
}

void progress_handler::message(const std::string& text)
{
    std::lock_guard<std::mutex> l(lock_);
    message_ = text;
}

std::uint64_t progress_handler::value() const
{
    std::lock_guard<std::mutex> l(lock_);
    return value_;
}

void progress_handler::value(std::uint64_t v)
{
    std::lock_guard<std::mutex> l(lock_);
    value_ = v < max_ ? v : max_;
}

std::uint64_t progress_handler::max_value() const
{
    std::lock_guard<std::mutex> l(lock_);
    return max_;
}

progress::progress(progress_handler& handler, std::uint64_t max)
    : handler_(&handler), exceptions_at_start_(std::uncaught_exceptions())
{
    handler_->init(max);
    handler_->started();
}

progress::~progress()
{
    try {
        // A failure keeps the value it reached: "100%" above an error would
        // claim the work was done.
        const bool failed = std::uncaught_exceptions() > exceptions_at_start_;
        if (!failed && handler_->value() < handler_->max_value()) {
            handler_->value(handler_->max_value());
            handler_->changed();
        }
        handler_->finished();
    } catch (...) {
        // A notification that throws while an operation unwinds must not end the program.
    }
}

void progress::message(const std::string& text)
{
    handler_->message(text);
    handler_->changed();
}

void progress::update(std::uint64_t v)
{
    handler_->value(v);
    handler_->changed();
}

void progress::add(std::uint64_t n)
{
    const std::uint64_t v = handler_->value();
    update(n > UINT64_MAX - v ? UINT64_MAX : v + n);
}

guard::guard(bool* flag) : flag_(flag)
{
    if (*flag_)
        throw std::runtime_error("Object in use");
    *flag_ = true;
}
