// libusb transfers as this library allocates them: the public libusb_transfer
// with the model's private bookkeeping in front of it.
#pragma once

#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <memory>

struct libusb_context;

namespace vhandset {

class device;

using steady_clock = std::chrono::steady_clock;

// Private state of one transfer. Guarded by the model mutex (bus.h).
struct transfer_state {
    enum class phase {
        idle,       // allocated, or completed and handed back to its owner
        in_flight,  // queued on an endpoint
        scheduled,  // its data has moved; it completes when the link says (`due`)
        ready,      // completed; its callback runs at the next event handling
    };
    phase state = phase::idle;
    libusb_context* context = nullptr;   // where its completion is delivered
    std::shared_ptr<device> target;      // keeps the device model alive while in flight
    bool has_deadline = false;
    steady_clock::time_point deadline{};
    bool zero_packet_after = false;      // OUT: LIBUSB_TRANSFER_ADD_ZERO_PACKET applies
    // Link timing (usb_link.h), set only when the handset has a timed link.
    steady_clock::time_point submitted{};
    bool crossing_known = false;         // OUT: `arrival` is set
    steady_clock::time_point arrival{};  // OUT: when its data has crossed the link
    bool has_due = false;                // IN: complete at `due`, not at once
    steady_clock::time_point due{};
    std::uint32_t stream_id = 0;         // kept for libusb_transfer_get_stream_id()
};

// Allocates a zeroed transfer with room for `iso_packets` descriptors, or nullptr.
libusb_transfer* allocate_transfer(int iso_packets);
// Frees the transfer (and its buffer when LIBUSB_TRANSFER_FREE_BUFFER is set).
void release_transfer(libusb_transfer* transfer);

transfer_state& state_of(libusb_transfer* transfer);

} // namespace vhandset
