#include "usb_link.h"

#include <algorithm>

namespace vhandset {

bulk_slot usb2_bulk_slot(std::uint64_t bytes, std::uint64_t ready_ns)
{
    const std::uint64_t packets = std::max<std::uint64_t>(1, (bytes + high_speed_bulk_packet - 1) / high_speed_bulk_packet);
    const std::uint64_t microframes = (packets + bulk_packets_per_microframe - 1) / bulk_packets_per_microframe;
    bulk_slot s;
    s.start_ns = (ready_ns / microframe_ns + 1) * microframe_ns;
    s.end_ns = s.start_ns + microframes * microframe_ns;
    return s;
}

usb2_link::clock::time_point usb2_link::finish(std::uint64_t bytes, clock::time_point ready) const
{
    const auto since = std::max(ready, epoch_) - epoch_;
    const auto ready_ns = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
    return epoch_ + std::chrono::nanoseconds(usb2_bulk_slot(bytes, ready_ns).end_ns);
}

} // namespace vhandset
