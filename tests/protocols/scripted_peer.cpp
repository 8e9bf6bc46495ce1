#include "scripted_peer.h"


#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace scripted {

namespace {

[[noreturn]] void fail(int error)
{
    throw link_error(error);
}

} // namespace

peer& peer::current()
{
    static peer the_peer;
    return the_peer;
}

void peer::reset()
{
    incoming_.clear();
    writes_.clear();
    on_write = nullptr;
    reads_ = 0;
    timeout_ms_ = 0;
}

void peer::deliver(const std::string& transfer)
{
    incoming_.emplace_back(transfer);
}

void peer::deliver_silence()
{
    incoming_.emplace_back(std::nullopt);
}

std::size_t peer::read(void* dst, std::size_t capacity)
{
    ++reads_;
    if (incoming_.empty() || !incoming_.front()) {
        if (!incoming_.empty())
            incoming_.pop_front();
        fail(ETIMEDOUT);
    }
    const std::string transfer = *incoming_.front();
    incoming_.pop_front();
    // Like the USB layer: a transfer larger than the room is lost.
    if (transfer.size() > capacity)
        fail(EOVERFLOW);
    std::memcpy(dst, transfer.data(), transfer.size());
    return transfer.size();
}

std::size_t peer::write(const void* src, std::size_t length)
{
    writes_.emplace_back(static_cast<const char*>(src), length);
    if (on_write)
        on_write(writes_.back());
    return length;
}

} // namespace scripted
