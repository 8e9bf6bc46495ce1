#include "usbport.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void throw_errno()
{
    throw usb_link_error(errno);
}

std::string error_text(int error)
{
    char text[256];
    // GNU strerror_r: the result may or may not point into `text`.
    return strerror_r(error, text, sizeof text);
}

} // namespace

usb_link_error::usb_link_error(int error) : std::runtime_error(error_text(error)), error_(error) {}

usbport::~usbport()
{
    close_pipe();
}

void usbport::open_device(libusb_device* device)
{
    handle_ = usb_open(device);
    if (handle_ < 0)
        throw_errno();
}

void usbport::open_vidpid(std::uint32_t packed_vidpid, bool exclusive)
{
    handle_ = usb_open_vidpid(packed_vidpid, exclusive);
    if (handle_ < 0)
        throw_errno();
}

void usbport::close()
{
    usb_close(handle_);
    handle_ = -1;
    // usb_close took the pipes with it; the index must not reach a slot that a
    // later open may hand to someone else.
    pipe_ = -1;
}

void usbport::open_pipe(int handle, const usb_interface_match& match)
{
    close_pipe();
    handle_ = handle;
    pipe_ = usb_open_pipe(handle, match);
    if (pipe_ < 0)
        throw_errno();
}

void usbport::close_pipe()
{
    if (pipe_ >= 0)
        usb_close_pipe(handle_, pipe_);
    pipe_ = -1;
}

void usbport::set_timeout(std::uint32_t ms)
{
    if (!usb_set_timeout(handle_, pipe_, ms))
        throw_errno();
}

std::uint32_t usbport::timeout() const
{
    std::uint32_t ms = 0;
    if (!usb_get_timeout(handle_, pipe_, &ms))
        throw_errno();
    return ms;
}

std::size_t usbport::read(void* dst, std::size_t capacity)
{
    const long n = usb_read(handle_, pipe_, dst, capacity);
    if (n < 0)
        throw_errno();
    return static_cast<std::size_t>(n);
}

buffer usbport::read(std::size_t capacity)
{
    buffer b;
    b.reserve(capacity);
    const long n = usb_read(handle_, pipe_, b.c_ptr(), capacity);
    if (n < 0)
        throw_errno();
    b.resize(static_cast<std::uint64_t>(n));
    return b;
}

buffer usbport::read_exact(std::size_t length)
{
    buffer b;
    b.resize(length);
    if (!usb_read_all(handle_, pipe_, b.c_ptr(), length))
        throw_errno();
    return b;
}

std::size_t usbport::write(const void* src, std::size_t length)
{
    const long n = usb_write(handle_, pipe_, src, length);
    if (n < 0)
        throw_errno();
    return static_cast<std::size_t>(n);
}

std::size_t usbport::write(const buffer& b)
{
    return write(b.c_ptr() + b.pos(), static_cast<std::size_t>(b.size() - b.pos()));
}

void usbport::drain() noexcept
{
    usb_drain(handle_, pipe_);
}

std::string usbport::manufacturer() const
{
    char text[usb_string_size];
    if (!usb_get_manufacturer(handle_, text))
        throw_errno();
    return text;
}

std::string usbport::product() const
{
    char text[usb_string_size];
    if (!usb_get_product(handle_, text))
        throw_errno();
    return text;
}

std::string usbport::serial() const
{
    char text[usb_string_size];
    if (!usb_get_serial(handle_, text))
        throw_errno();
    return text;
}
