#include "usb.h"
#include "usb_table.h"

#include "clock.h"
#include "log.h"

#include <libusb.h>

#include <cerrno>
#include <sys/time.h>

namespace {

constexpr int max_candidate_endpoints = 2;
constexpr int no_iso_packets = 0;
constexpr unsigned no_timeout = 0;

bool matches(const libusb_interface_descriptor& alt, const usb_interface_match& match)
{
    return alt.bNumEndpoints >= 1 && alt.bNumEndpoints <= max_candidate_endpoints &&
           alt.bInterfaceClass == match.cls && alt.bInterfaceSubClass == match.subclass &&
           alt.bInterfaceProtocol == match.protocol;
}

void take_endpoints(const libusb_interface_descriptor& alt, usb_pipe_record& p)
{
    p.interface_number = alt.bInterfaceNumber;
    for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
            p.in_endpoint = ep.bEndpointAddress;
            p.in_max_packet = ep.wMaxPacketSize;
        } else {
            p.out_endpoint = ep.bEndpointAddress;
            p.out_max_packet = ep.wMaxPacketSize;
        }
    }
}

// Fills the pipe's endpoints from every alternate setting that matches, over
// all configurations; returns how many matched (or a negative libusb error).
int find_interface(libusb_device_handle* device, const usb_interface_match& match, usb_pipe_record& p)
{
    libusb_device* dev = libusb_get_device(device);
    libusb_device_descriptor d;
    const int r = libusb_get_device_descriptor(dev, &d);
    if (r < 0)
        return r;
    int count = 0;
    for (std::uint8_t c = 0; c < d.bNumConfigurations; ++c) {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_config_descriptor(dev, c, &config) < 0 || !config)
            continue;
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& itf = config->interface[i];
            for (int a = 0; a < itf.num_altsetting; ++a) {
                if (matches(itf.altsetting[a], match)) {
                    take_endpoints(itf.altsetting[a], p);
                    ++count;
                }
            }
        }
        libusb_free_config_descriptor(config);
    }
    return count;
}

// True when another open pipe of the slot sits on the same interface: the
// interface must then stay claimed for it.
bool interface_shared(const usb_slot& s, const usb_pipe_record& p)
{
    for (const usb_pipe_record& other : s.pipes) {
        if (&other != &p && other.in_use() && other.interface_number == p.interface_number)
            return true;
    }
    return false;
}

void release_interface(const usb_slot& s, const usb_pipe_record& p)
{
    if (!interface_shared(s, p))
        libusb_release_interface(s.device, static_cast<int>(p.interface_number));
}

} // namespace

int usb_submit_receive(usb_pipe_record& p)
{
    const int r = libusb_submit_transfer(p.receive.get());
    p.in_flight = r == 0;
    return r;
}

void LIBUSB_CALL transfer_rx_cb(libusb_transfer* transfer)
{
    auto* p = static_cast<usb_pipe_record*>(transfer->user_data);
    if (!p) {
        // Abandoned by usb_close_pipe after libusb kept it too long.
        delete[] transfer->buffer;
        libusb_free_transfer(transfer);
        return;
    }
    p->in_flight = false;
    if (p->done)
        log_error("transfer_rx_cb: already done\n");
    else
        p->done = true;
}

int usb_open_pipe(int handle, const usb_interface_match& match)
{
    usb_slot* s = usb_slot_at(handle);
    if (!s) {
        errno = EBADF;
        return -1;
    }
    int pipe = 0;
    while (pipe < usb_max_pipes && s->pipes[pipe].in_use())
        ++pipe;
    if (pipe == usb_max_pipes) {
        errno = ENFILE;
        return -1;
    }
    usb_pipe_record& p = s->pipes[pipe];
    p = usb_pipe_record{};
    const int found = find_interface(s->device, match, p);
    if (found < 0) {
        p = usb_pipe_record{};
        errno = usb_error_to_errno(found);
        return -1;
    }
    // Without an IN endpoint there is nowhere to keep the reception posted.
    if (found != 1 || p.in_endpoint == 0) {
        p = usb_pipe_record{};
        errno = ENOENT;
        return -1;
    }
    // Several pipes may share one interface, and claiming it again from the
    // same handle is harmless; so a failed claim is not fatal by itself. When
    // the submission then fails, the claim's error is the one that explains it.
    const int claimed = libusb_claim_interface(s->device, static_cast<int>(p.interface_number));
    p.timeout_ms = usb_default_timeout_ms;
    p.receive.reset(libusb_alloc_transfer(no_iso_packets));
    p.done = false;
    if (!p.receive) {
        release_interface(*s, p);
        p = usb_pipe_record{};
        errno = ENOMEM;
        return -1;
    }
    p.receive_buffer = std::make_unique_for_overwrite<std::uint8_t[]>(usb_receive_size);
    libusb_fill_bulk_transfer(p.receive.get(), s->device, p.in_endpoint, p.receive_buffer.get(),
                              static_cast<int>(usb_receive_size), transfer_rx_cb, &p, no_timeout);
    const int r = usb_submit_receive(p);
    if (r < 0) {
        release_interface(*s, p);
        p = usb_pipe_record{};
        errno = usb_error_to_errno(claimed < 0 ? claimed : r);
        return -1;
    }
    errno = 0;
    return pipe;
}

void usb_close_pipe(int handle, int pipe)
{
    usb_pipe_record* p = usb_pipe_at(handle, pipe);
    if (!p)
        return;
    if (p->in_flight) {
        libusb_cancel_transfer(p->receive.get());
        // A vanished device still gives the transfer back (NO_DEVICE status),
        // but a wedged one might not: bound the wait rather than hang the caller.
        const time_point_us deadline = time_add_ms(monotonic_now(), usb_cancel_wait_ms);
        while (p->in_flight && time_before(monotonic_now(), deadline)) {
            timeval tv{};  // poll: only run completions already due
            libusb_handle_events_timeout(nullptr, &tv);
        }
        if (p->in_flight) {
            log_error("usb_close_pipe: receive transfer not returned after %u ms, abandoned\n", usb_cancel_wait_ms);
            // The completion function frees it whenever libusb lets go of it.
            p->receive->user_data = nullptr;
            static_cast<void>(p->receive.release());
            static_cast<void>(p->receive_buffer.release());
        }
    }
    release_interface(*usb_slot_at(handle), *p);
    *p = usb_pipe_record{};
}

bool usb_set_timeout(int handle, int pipe, std::uint32_t ms)
{
    usb_pipe_record* p = usb_pipe_at(handle, pipe);
    if (!p) {
        errno = EBADF;
        return false;
    }
    p->timeout_ms = ms;
    errno = 0;
    return true;
}

bool usb_get_timeout(int handle, int pipe, std::uint32_t* ms)
{
    usb_pipe_record* p = usb_pipe_at(handle, pipe);
    if (!p || !ms) {
        errno = p ? EINVAL : EBADF;
        return false;
    }
    *ms = p->timeout_ms;
    errno = 0;
    return true;
}
