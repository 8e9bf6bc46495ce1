// The handset's side of its two bulk endpoints, as its firmware sees them.
//
// The USB model (vhandset core) implements this; the firmware programs (boot ROM,
// flash programmer) use nothing else to talk to the host. All calls block the
// handset's own thread only.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <vector>

namespace vhandset {

// Thrown out of device_link calls once the handset has been unplugged (or has
// detached itself); the firmware's thread unwinds and ends.
struct unplugged : std::exception {
    const char* what() const noexcept override { return "handset unplugged"; }
};

// The sizes of host OUT transfers, kept as runs of equal sizes so that a
// phase of millions of equal writes costs a few bytes.
class transfer_tally {
public:
    void add(std::size_t size)
    {
        ++count_;
        if (!runs_.empty() && runs_.back().size == size)
            ++runs_.back().repeat;
        else if (runs_.size() < max_runs)
            runs_.push_back({size, 1});
        else
            truncated_ = true;
    }
    std::size_t count() const { return count_; }
    // "<count>:" then " SIZE" or " SIZExREPEAT" per run, e.g. "5: 1048576x4 4096";
    // " ..." ends it when more than 1000 runs were seen.
    std::string text() const
    {
        std::string t = std::to_string(count_) + ":";
        for (const auto& r : runs_) {
            t += " " + std::to_string(r.size);
            if (r.repeat > 1)
                t += "x" + std::to_string(r.repeat);
        }
        if (truncated_)
            t += " ...";
        return t;
    }

private:
    static constexpr std::size_t max_runs = 1000;
    struct run {
        std::size_t size;
        std::size_t repeat;
    };
    std::vector<run> runs_;
    std::size_t count_ = 0;
    bool truncated_ = false;
};

class device_link {
public:
    virtual ~device_link() = default;

    // Takes host OUT data the way a device controller does: waits until either
    // `max` bytes have arrived or a short packet (a host transfer that ends with a
    // packet shorter than the endpoint's max packet size, including a zero-length
    // packet) ends the data; a receive never spans past the end of such a transfer.
    // Returns the number of bytes stored (0 for a lone zero-length packet), or
    // 0 with *timed_out set when `timeout_ms` passed with no data at all.
    // timeout_ms 0 waits for ever (until unplugged).
    virtual std::size_t receive(void* dst, std::size_t max, unsigned timeout_ms, bool* timed_out) = 0;

    // Queues bytes on the IN endpoint as one device write: cut into packets of the
    // endpoint's max packet size; the last packet is short, or, when the length is
    // a whole multiple of the packet size, followed by a zero-length packet if the
    // handset's zlp option is on. Each call therefore ends one host IN transfer
    // (unless the zlp option is off and the length is a packet multiple, in which
    // case the host transfer continues with the next write). Waits only while
    // megabytes the host has not taken yet are queued (back-pressure).
    virtual void send(const void* src, std::size_t len) = 0;

    // Leaves the bus (power reset): pending host transfers complete with
    // LIBUSB_TRANSFER_NO_DEVICE, later calls fail with LIBUSB_ERROR_NO_DEVICE, and
    // the calling firmware gets `unplugged` from its next call.
    virtual void detach() = 0;

    // From now on, every host OUT transfer that completes while the firmware
    // receives is added to *tally (nullptr: no longer). Called from the
    // firmware's own thread only.
    virtual void tally_out_transfers(transfer_tally* tally) noexcept = 0;
};

} // namespace vhandset
