// The cable's timing. With `--link usb2` or `--link usb3` bulk transfers take
// the wall time they take on a USB 2.0 high-speed or a USB 3.0 SuperSpeed link;
// with `--link none` they complete as soon as the data has moved, which is far
// faster than any real cable.
//
// One model, two parameter sets (link_timing). A transfer is cut into packets
// of the link's packet size (an empty transfer is one zero-length packet) and
// its packets go out in slots of `packets_per_slot`. A slot lasts its packets'
// airtime plus `slot_gap_ns`, and at least one frame. A transfer starts
// `start_gap_ns` after the first frame boundary after it could start (it is
// there, and the previous transfer on its endpoint has completed); without
// frames, `start_gap_ns` after it could start. A packet's airtime is its
// payload plus `packet_overhead_symbols` symbols of `symbol_ns` each, stretched
// by `skp_symbols` clock-compensation symbols per `skp_every_symbols`.
//
// usb2: 512-byte packets, at most 13 per 125 us microframe, a transfer starts on
// the next microframe boundary and occupies whole microframes; the microframe,
// not the packets' airtime, sets the pace. A synchronous host thus pays one
// idle microframe per transfer: 512-byte transfers move about 2 MB/s,
// 4096-byte ones about 16 MB/s, 1 MiB ones about 52 MB/s.
//
// usb3: 5 Gbit/s with 8b/10b coding, one byte (symbol) per 2 ns, 500 MB/s raw.
// A 1024-byte data packet costs 1072 symbols: its header packet (20 symbols:
// 4 framing, 12 header, 2 CRC-16, 2 link control word), its payload framing
// (12 symbols: 4 start, 4 CRC-32, 4 end) and, on the same lane, the two link
// commands of 8 symbols (LGOOD, LCRD) that answer the ACK transaction packet
// the receiver sends back for it. Two SKP symbols follow every 354. Bursts
// hold 16 packets (bMaxBurst 15); after each the sender waits one header-packet
// round trip for the ACK that lets the next burst go, and each transfer starts
// with one more (the host's request and the device's answer); that round trip
// is the link layer's 3 us (PENDING_HP_TIMER). A burst of 16 full packets thus
// lasts 34.496 us + 3 us; back to back, 1 MiB transfers move about 436 MB/s,
// 64 KiB ones about 428 MB/s, 16 KiB ones about 405 MB/s, 4096-byte ones about
// 280 MB/s and 512-byte ones about 72 MB/s.
#pragma once

#include "handset_options.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace vhandset {

struct link_timing {
    const char* name;                        // the --link value
    std::uint64_t packet_bytes;              // bulk max packet size on this link
    std::uint64_t packets_per_slot;          // per microframe (usb2), per burst (usb3)
    std::uint64_t frame_ns;                  // 0: no frames
    std::uint64_t slot_gap_ns;               // after each slot's packets
    std::uint64_t start_gap_ns;              // before a transfer's first packet
    std::uint64_t symbol_ns;                 // 0: airtime is not what limits the link
    std::uint64_t packet_overhead_symbols;   // besides the payload, per packet
    std::uint64_t skp_every_symbols;         // 0: no clock compensation
    std::uint64_t skp_symbols;
};

inline constexpr link_timing usb2_timing = {"usb2", 512, 13, 125'000, 0, 0, 0, 0, 0, 0};
inline constexpr link_timing usb3_timing = {"usb3", 1024, 16, 0, 3'000, 3'000, 2, 20 + 12 + 2 * 8, 354, 2};

// The timing of a --link value: nullptr for "none". Throws
// std::invalid_argument for a name that is not a link ("--link: ...").
const link_timing* link_timing_named(const std::string& name);

// The options as the USB model applies them: SuperSpeed bulk endpoints always
// have 1024-byte packets, so with `--link usb3` max_packet is 1024 whatever
// was asked for.
handset_options on_link(handset_options opts);

// True when the handset presents itself as a SuperSpeed device (`--link usb3`).
bool superspeed(const handset_options& opts);

// When a transfer occupies the link, in nanoseconds of the link's clock, whose
// zero is a frame boundary.
struct bulk_slot {
    std::uint64_t start_ns = 0;
    std::uint64_t end_ns = 0;
};

// The slot of a transfer of `bytes` that could start at `ready_ns`.
bulk_slot bulk_slot_for(const link_timing& link, std::uint64_t bytes, std::uint64_t ready_ns);

// The link of one handset: its clock starts when it is plugged in.
class usb_link {
public:
    using clock = std::chrono::steady_clock;

    explicit usb_link(const link_timing& timing) : timing_(timing), epoch_(clock::now()) {}

    // When a transfer of `bytes` that could start at `ready` has crossed the link.
    clock::time_point finish(std::uint64_t bytes, clock::time_point ready) const;

private:
    const link_timing& timing_;
    clock::time_point epoch_;
};

// The --link paragraph of `brv-vhandset --help` for what the USB model adds to
// the handset options: the usb3 arithmetic and its rates.
std::string link_help();

} // namespace vhandset
