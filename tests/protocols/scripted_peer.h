// A scripted device behind the protocol clients' transport, for protocol cases
// a real handset cannot be made to produce on demand.
//
// The peer hands out queued IN transfers one per read (an empty queue, or a
// queued silence, fails the read with link_error ETIMEDOUT) and records every
// OUT write; a responder may queue answers as writes arrive.
#pragma once

#include "transport.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace scripted {

class peer : public transport {
public:
    // The peer of the test running now.
    static peer& current();

    // Back to nothing queued, no responder, no time-out set.
    void reset();

    // Queues one IN transfer, delivered whole by one read.
    void deliver(const std::string& transfer);
    // Queues a read that times out.
    void deliver_silence();

    // Called with every OUT write, after it is recorded.
    std::function<void(const std::string& written)> on_write;

    const std::vector<std::string>& writes() const { return writes_; }
    // Reads attempted so far, including those that timed out.
    std::size_t reads() const { return reads_; }

    std::size_t read(void* dst, std::size_t capacity) override;
    std::size_t write(const void* src, std::size_t length) override;
    void set_timeout(std::uint32_t ms) override { timeout_ms_ = ms; }
    std::uint32_t timeout() const override { return timeout_ms_; }

private:
    std::deque<std::optional<std::string>> incoming_;
    std::vector<std::string> writes_;
    std::size_t reads_ = 0;
    std::uint32_t timeout_ms_ = 0;
};

} // namespace scripted
