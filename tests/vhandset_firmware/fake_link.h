// An in-memory cable between a test (the host) and the handset firmware.
// Host writes are kept as transfers; the firmware's receive() takes bytes the
// way a device controller does: until `max` bytes or the end of a transfer that
// ends with a short packet. Every firmware send() is one host IN transfer.
#pragma once

#include "vhandset/device_link.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vhtest {

using bytes = std::vector<unsigned char>;

class fake_link : public vhandset::device_link {
public:
    explicit fake_link(std::size_t max_packet = 512) : max_packet_(max_packet) {}

    // Firmware side.
    std::size_t receive(void* dst, std::size_t max, unsigned timeout_ms, bool* timed_out) override;
    void send(const void* src, std::size_t len) override;
    void detach() override;
    void tally_out_transfers(vhandset::transfer_tally* tally) noexcept override;

    // Host side. A transfer whose length is a whole number of packets continues
    // into the next one unless `zlp` ends it.
    void host_write(const void* data, std::size_t len, bool zlp = false);
    void host_write(const bytes& b, bool zlp = false) { host_write(b.data(), b.size(), zlp); }
    void host_write(const std::string& s, bool zlp = false) { host_write(s.data(), s.size(), zlp); }
    // The next firmware write, or nullopt when none comes within timeout_ms.
    std::optional<bytes> host_read(unsigned timeout_ms = 3000);

    // Pulls the cable: the firmware's next (or current) call throws `unplugged`.
    void unplug();
    // True once the firmware has called detach().
    bool detached() const;
    bool wait_detached(unsigned timeout_ms) const;
    // Host bytes the firmware has not taken yet.
    std::size_t pending_host_bytes() const;

private:
    struct transfer {
        bytes data;
        std::size_t pos = 0;
        bool ends_short = true;
    };

    std::size_t max_packet_;
    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    std::deque<transfer> to_device_;
    std::deque<bytes> to_host_;
    bool unplugged_ = false;
    bool detached_ = false;
    vhandset::transfer_tally* tally_ = nullptr;
};

} // namespace vhtest
