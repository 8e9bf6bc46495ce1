// One bulk pipe (IN and OUT endpoint) of one open USB device. Every failure is a
// usb_link_error (a std::runtime_error) carrying the system's error text for errno (a read that
// times out says so; a transfer larger than the caller's room reports an
// overflow). The device handle is borrowed: destroying a usbport closes its pipe
// but never the device.
#pragma once

#include "buffer.h"
#include "usb.h"

#include <cstdint>
#include <stdexcept>
#include <string>

// The link failed: what() is the system's text for error() (ETIMEDOUT when the
// handset did not answer in time, ENODEV when it left the bus, ...).
class usb_link_error : public std::runtime_error {
public:
    explicit usb_link_error(int error);
    int error() const { return error_; }

private:
    int error_;
};

class usbport {
public:
    usbport() = default;
    usbport(const usbport&) = delete;
    usbport& operator=(const usbport&) = delete;
    virtual ~usbport();

    int handle() const { return handle_; }
    int pipe() const { return pipe_; }

    void open_device(libusb_device* device);
    void open_vidpid(std::uint32_t packed_vidpid, bool exclusive);
    // Closes the device (and with it every pipe on it); this port then holds
    // neither a handle nor a pipe.
    void close();

    // Borrows the handle and opens a pipe on it; a pipe this port already held
    // is closed first.
    void open_pipe(int handle, const usb_interface_match& match);
    void close_pipe();

    void set_timeout(std::uint32_t ms);
    std::uint32_t timeout() const;

    // Bytes of one transfer (>= 1) copied to dst.
    std::size_t read(void* dst, std::size_t capacity);
    // One transfer into a new buffer sized to what arrived.
    buffer read(std::size_t capacity);
    // Exactly length bytes, over as many transfers as needed.
    buffer read_exact(std::size_t length);
    std::size_t write(const void* src, std::size_t length);
    // Sends the buffer's unread bytes (pos() to size()).
    std::size_t write(const buffer& b);
    // Reads and discards until a read fails (normally one whole time-out).
    void drain() noexcept;

    std::string manufacturer() const;
    std::string product() const;
    std::string serial() const;

private:
    int handle_ = -1;
    int pipe_ = -1;
};
