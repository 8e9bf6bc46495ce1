#include "usbport.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void throw_errno()
{
    throw link_error(errno);
}

} // namespace

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

std::size_t usbport::write(const void* src, std::size_t length)
{
    const long n = usb_write(handle_, pipe_, src, length);
    if (n < 0)
        throw_errno();
    return static_cast<std::size_t>(n);
}

void usbport::write_stream(const std::function<write_piece()>& next)
{
    const int r = usb_write_stream(handle_, pipe_, [&next]() {
        const write_piece piece = next();
        return std::pair<const void*, std::size_t>(piece.data, piece.size);
    });
    if (r < 0)
        throw_errno();
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
