#include "fake_link.h"

#include <cstring>

namespace vhtest {

namespace {

using clock = std::chrono::steady_clock;

clock::time_point deadline_after(unsigned ms)
{
    return ms ? clock::now() + std::chrono::milliseconds(ms) : clock::time_point::max();
}

} // namespace

std::size_t fake_link::receive(void* dst, std::size_t max, unsigned timeout_ms, bool* timed_out)
{
    *timed_out = false;
    std::unique_lock lock(m_);
    const auto deadline = deadline_after(timeout_ms);
    auto* out = static_cast<unsigned char*>(dst);
    std::size_t got = 0;
    for (;;) {
        while (!unplugged_ && to_device_.empty()) {
            if (deadline == clock::time_point::max())
                cv_.wait(lock);
            else if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && to_device_.empty() && !unplugged_) {
                *timed_out = true;
                return got;
            }
        }
        if (unplugged_)
            throw vhandset::unplugged();
        transfer& t = to_device_.front();
        const std::size_t k = std::min(max - got, t.data.size() - t.pos);
        if (k > 0)
            std::memcpy(out + got, t.data.data() + t.pos, k);
        got += k;
        t.pos += k;
        if (t.pos == t.data.size()) {
            const bool ended = t.ends_short;
            if (tally_ != nullptr)
                tally_->add(t.data.size());
            to_device_.pop_front();
            cv_.notify_all();
            if (ended)
                return got;
        }
        if (got == max)
            return got;
    }
}

void fake_link::send(const void* src, std::size_t len)
{
    std::lock_guard lock(m_);
    if (unplugged_)
        throw vhandset::unplugged();
    const auto* p = static_cast<const unsigned char*>(src);
    to_host_.emplace_back(p, p + len);
    cv_.notify_all();
}

void fake_link::detach()
{
    std::lock_guard lock(m_);
    detached_ = true;
    unplugged_ = true;
    cv_.notify_all();
}

void fake_link::tally_out_transfers(vhandset::transfer_tally* tally) noexcept
{
    std::lock_guard lock(m_);
    tally_ = tally;
}

void fake_link::host_write(const void* data, std::size_t len, bool zlp)
{
    std::lock_guard lock(m_);
    transfer t;
    const auto* p = static_cast<const unsigned char*>(data);
    t.data.assign(p, p + len);
    t.ends_short = len == 0 || len % max_packet_ != 0 || zlp;
    to_device_.push_back(std::move(t));
    cv_.notify_all();
}

std::optional<bytes> fake_link::host_read(unsigned timeout_ms)
{
    std::unique_lock lock(m_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return !to_host_.empty(); }))
        return std::nullopt;
    bytes b = std::move(to_host_.front());
    to_host_.pop_front();
    return b;
}

void fake_link::unplug()
{
    std::lock_guard lock(m_);
    unplugged_ = true;
    cv_.notify_all();
}

bool fake_link::detached() const
{
    std::lock_guard lock(m_);
    return detached_;
}

bool fake_link::wait_detached(unsigned timeout_ms) const
{
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return detached_; });
}

std::size_t fake_link::pending_host_bytes() const
{
    std::lock_guard lock(m_);
    std::size_t n = 0;
    for (const auto& t : to_device_)
        n += t.data.size() - t.pos;
    return n;
}

} // namespace vhtest
