// One bulk pipe (IN and OUT endpoint) of one open USB device: the transport the
// protocol clients speak through. Every failure is a link_error carrying the
// system's error text for errno (a read that times out says so; a transfer
// larger than the caller's room reports an overflow). The device handle is
// borrowed: destroying a usbport closes its pipe but never the device.
#pragma once

#include "buffer.h"
#include "transport.h"
#include "usb.h"

#include <cstdint>
#include <string>

class usbport : public transport {
public:
    usbport() = default;
    usbport(const usbport&) = delete;
    usbport& operator=(const usbport&) = delete;
    ~usbport() override;

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

    void set_timeout(std::uint32_t ms) override;
    std::uint32_t timeout() const override;
    std::size_t read(void* dst, std::size_t capacity) override;
    std::size_t write(const void* src, std::size_t length) override;
    // The following transfer is queued behind the one crossing.
    void write_stream(const std::function<write_piece()>& next) override;

    std::string manufacturer() const;
    std::string product() const;
    std::string serial() const;

private:
    int handle_ = -1;
    int pipe_ = -1;
};
