#include "usb_link.h"

#include <algorithm>
#include <stdexcept>

namespace vhandset {

namespace {

std::uint64_t airtime_ns(const link_timing& link, std::uint64_t symbols)
{
    if (link.skp_every_symbols != 0)
        symbols += symbols / link.skp_every_symbols * link.skp_symbols;
    return symbols * link.symbol_ns;
}

// One slot of `packets` packets carrying `payload` bytes in all.
std::uint64_t slot_ns(const link_timing& link, std::uint64_t packets, std::uint64_t payload)
{
    const std::uint64_t busy = link.slot_gap_ns + airtime_ns(link, packets * link.packet_overhead_symbols + payload);
    return std::max(link.frame_ns, busy);
}

} // namespace

const link_timing* link_timing_named(const std::string& name)
{
    if (name == "none")
        return nullptr;
    for (const link_timing* t : {&usb2_timing, &usb3_timing})
        if (name == t->name)
            return t;
    throw std::invalid_argument("--link: '" + name + "' is not a link (none, usb2 or usb3)");
}

handset_options on_link(handset_options opts)
{
    if (superspeed(opts))
        opts.max_packet = static_cast<unsigned>(usb3_timing.packet_bytes);
    return opts;
}

bool superspeed(const handset_options& opts) { return opts.link == usb3_timing.name; }

bulk_slot bulk_slot_for(const link_timing& link, std::uint64_t bytes, std::uint64_t ready_ns)
{
    const std::uint64_t packets = std::max<std::uint64_t>(1, (bytes + link.packet_bytes - 1) / link.packet_bytes);
    const std::uint64_t full_slots = packets / link.packets_per_slot;
    const std::uint64_t rest = packets % link.packets_per_slot;
    const std::uint64_t full_slot_bytes = link.packets_per_slot * link.packet_bytes;
    std::uint64_t busy = full_slots * slot_ns(link, link.packets_per_slot, full_slot_bytes);
    if (rest != 0)
        busy += slot_ns(link, rest, bytes - full_slots * full_slot_bytes);
    bulk_slot s;
    s.start_ns = (link.frame_ns != 0 ? (ready_ns / link.frame_ns + 1) * link.frame_ns : ready_ns) + link.start_gap_ns;
    s.end_ns = s.start_ns + busy;
    return s;
}

usb_link::clock::time_point usb_link::finish(std::uint64_t bytes, clock::time_point ready) const
{
    const auto since = std::max(ready, epoch_) - epoch_;
    const auto ready_ns = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
    return epoch_ + std::chrono::nanoseconds(bulk_slot_for(timing_, bytes, ready_ns).end_ns);
}

std::string link_help()
{
    return "LINK usb3: the handset is a USB 3.0 SuperSpeed device (bcdUSB 0300, 1024-byte bulk packets\n"
           "  whatever --max-packet says, bursts of up to 16 packets) and bulk transfers in both directions\n"
           "  take the wall time they take on its 5 Gbit/s link. 8b/10b coding leaves 500 MB/s, 2 ns a\n"
           "  byte. A 1024-byte packet costs 1072 byte times: 20 for its header packet, 12 for the framing\n"
           "  and CRC-32 of its payload, 16 for the two link commands (LGOOD, LCRD) that answer the\n"
           "  receiver's ACK; 2 SKP symbols follow every 354. After each burst of 16, and before each\n"
           "  transfer, the sender waits one 3 us header-packet round trip. A full burst thus takes\n"
           "  34.5 + 3 us; back to back, 1 MiB transfers move about 436 MB/s, 64 KiB ones about 428 MB/s,\n"
           "  16 KiB ones about 405 MB/s, 4096-byte ones about 280 MB/s, 512-byte ones about 72 MB/s.\n";
}

} // namespace vhandset
