// The cable's timing. With `--link usb2` bulk transfers take the wall time they
// take on a USB 2.0 high-speed link; without it they complete as soon as the
// data has moved, which is far faster than any real cable.
//
// The model: 512-byte packets, at most 13 bulk packets per 125 us microframe. A
// transfer starts at the first microframe boundary after it could start (it is
// there, and the previous transfer on its endpoint has completed) and occupies
// whole microframes. A synchronous host thus pays one idle microframe per
// transfer: 512-byte transfers move about 2 MB/s, 4096-byte ones about 16 MB/s,
// 1 MiB ones about 52 MB/s.
#pragma once

#include <chrono>
#include <cstdint>

namespace vhandset {

inline constexpr std::uint64_t microframe_ns = 125'000;
inline constexpr std::uint64_t bulk_packets_per_microframe = 13;
inline constexpr std::uint64_t high_speed_bulk_packet = 512;

// When a transfer occupies the link, in nanoseconds of the link's clock, whose
// zero is a microframe boundary.
struct bulk_slot {
    std::uint64_t start_ns = 0;
    std::uint64_t end_ns = 0;
};

// The slot of a transfer of `bytes` that could start at `ready_ns`. An empty
// transfer is one zero-length packet.
bulk_slot usb2_bulk_slot(std::uint64_t bytes, std::uint64_t ready_ns);

// The link of one handset: its microframe clock starts when it is plugged in.
class usb2_link {
public:
    using clock = std::chrono::steady_clock;

    usb2_link() : epoch_(clock::now()) {}

    // When a transfer of `bytes` that could start at `ready` has crossed the link.
    clock::time_point finish(std::uint64_t bytes, clock::time_point ready) const;

private:
    clock::time_point epoch_;
};

} // namespace vhandset
