// Packet semantics of the two bulk endpoints. Neither class locks: the device
// calls them with the model mutex held. Host transfers that finish are appended
// to a `finished` list with status and actual_length set; the caller delivers them.
// With a timed link (nullptr: none) an OUT transfer's data reaches the device
// only once it has crossed the link, and an IN transfer that took its data
// carries the time it completes in its state (`has_due`, `due`).
#pragma once

#include "usb_link.h"

#include <libusb.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

namespace vhandset {

using transfer_list = std::vector<libusb_transfer*>;

// Device to host. Each device write is cut into max-packet-sized packets; the
// last is short, or a zero-length packet follows a packet-multiple write when
// `zlp` is on. Packets wait until the host has an IN transfer queued.
class in_endpoint {
public:
    in_endpoint(unsigned max_packet, bool zlp, const usb_link* link = nullptr);

    // Queues one device write and hands packets to waiting host transfers.
    void write(const void* src, std::size_t len, transfer_list& finished);
    // Queues a host IN transfer (actual_length is reset to 0).
    void submit(libusb_transfer* t, transfer_list& finished);
    // Removes a queued transfer without completing it; false if it was not queued.
    bool withdraw(libusb_transfer* t);
    // Removes the queued host transfers `pick` selects (all without a predicate).
    transfer_list withdraw_if(const std::function<bool(libusb_transfer*)>& pick = {});

    // Bytes the device wrote that no host transfer has taken yet.
    std::size_t pending_bytes() const;

private:
    struct device_write {
        std::vector<std::uint8_t> data;
        std::size_t taken = 0;
        bool zero_packet_due = false;  // a zero-length packet still follows the data
    };
    void pump(transfer_list& finished);
    void complete(libusb_transfer* t, transfer_list& finished);

    unsigned max_packet_;
    bool zlp_;
    const usb_link* link_;
    std::chrono::steady_clock::time_point link_free_{};  // the last transfer's completion
    std::deque<device_write> writes_;
    std::deque<libusb_transfer*> transfers_;
};

// Host to device. Host OUT transfers wait in order; the device takes bytes
// from them. A transfer completes once the device has taken all of it.
class out_endpoint {
public:
    explicit out_endpoint(unsigned max_packet, const usb_link* link = nullptr);

    void submit(libusb_transfer* t);
    bool withdraw(libusb_transfer* t);
    transfer_list withdraw_if(const std::function<bool(libusb_transfer*)>& pick = {});

    struct take_result {
        std::size_t bytes = 0;
        bool ended = false;  // a short or zero-length packet ended the data
        // A transfer still crossing the link stopped the take; it arrives then.
        std::optional<std::chrono::steady_clock::time_point> arrives;
    };
    // Takes up to `max` bytes into `dst`, stopping after the end of a host
    // transfer whose last packet is short (or a zero-length packet). A transfer
    // that is a packet multiple does not end the data by itself.
    take_result take(std::uint8_t* dst, std::size_t max, transfer_list& finished,
                     std::chrono::steady_clock::time_point now);

    bool has_transfer() const { return !transfers_.empty(); }

private:
    unsigned max_packet_;
    const usb_link* link_;
    std::chrono::steady_clock::time_point link_free_{};  // when the last transfer scheduled has crossed
    std::deque<libusb_transfer*> transfers_;
};

} // namespace vhandset
