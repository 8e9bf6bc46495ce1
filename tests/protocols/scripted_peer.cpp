#include "scripted_peer.h"

#include "usbport.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace scripted {

namespace {

[[noreturn]] void fail(int error)
{
    throw std::runtime_error(std::strerror(error));
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
    pipe_open_ = false;
    timeout_ms_ = 0;
    handle_ = -1;
}

void peer::deliver(const std::string& transfer)
{
    incoming_.emplace_back(transfer);
}

void peer::deliver_silence()
{
    incoming_.emplace_back(std::nullopt);
}

std::size_t peer::take(void* dst, std::size_t capacity)
{
    ++reads_;
    if (!pipe_open_)
        fail(EBADF);
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

void peer::record_write(const void* src, std::size_t length)
{
    if (!pipe_open_)
        fail(EBADF);
    writes_.emplace_back(static_cast<const char*>(src), length);
    if (on_write)
        on_write(writes_.back());
}

void peer::drain()
{
    // Until a read fails: the queue runs dry or a silence ends it.
    while (!incoming_.empty()) {
        const bool silence = !incoming_.front();
        incoming_.pop_front();
        if (silence)
            break;
    }
}

} // namespace scripted

// The usbport of the protocol clients, redirected to the peer.

usbport::~usbport()
{
    close_pipe();
}

void usbport::open_pipe(int handle, const usb_interface_match& match)
{
    if (match.cls != 0xff || match.subclass != 0xff || match.protocol != 0xff)
        throw std::runtime_error(std::strerror(ENOENT));
    handle_ = handle;
    pipe_ = 0;
    scripted::peer::current().open(handle);
}

void usbport::close_pipe()
{
    if (pipe_ >= 0)
        scripted::peer::current().close();
    pipe_ = -1;
}

void usbport::set_timeout(std::uint32_t ms)
{
    scripted::peer::current().timeout(ms);
}

std::uint32_t usbport::timeout() const
{
    return scripted::peer::current().timeout_ms();
}

std::size_t usbport::read(void* dst, std::size_t capacity)
{
    return scripted::peer::current().take(dst, capacity);
}

buffer usbport::read(std::size_t capacity)
{
    buffer b;
    b.resize(capacity);
    const std::size_t n = read(b.c_ptr(), capacity);
    b.resize(n);
    return b;
}

buffer usbport::read_exact(std::size_t length)
{
    buffer b;
    b.resize(length);
    for (std::size_t done = 0; done < length;)
        done += read(b.c_ptr() + done, length - done);
    return b;
}

std::size_t usbport::write(const void* src, std::size_t length)
{
    scripted::peer::current().record_write(src, length);
    return length;
}

std::size_t usbport::write(const buffer& b)
{
    return write(b.c_ptr(), b.size());
}

void usbport::drain() noexcept
{
    scripted::peer::current().drain();
}
