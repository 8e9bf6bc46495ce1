// A scripted device behind usbport, for protocol cases a real handset cannot be
// made to produce on demand. Linking scripted_peer.cpp replaces the usbport
// methods: every pipe talks to the one current peer instead of USB.
//
// The peer hands out queued IN transfers one per read (an empty queue, or a
// queued silence, fails the read with the system's time-out text) and records
// every OUT write; a responder may queue answers as writes arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace scripted {

class peer {
public:
    static peer& current();

    // Back to a closed pipe with nothing queued and no responder.
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
    bool pipe_open() const { return pipe_open_; }
    std::uint32_t timeout_ms() const { return timeout_ms_; }
    int handle() const { return handle_; }

    // Used by the replaced usbport.
    std::size_t take(void* dst, std::size_t capacity);
    void record_write(const void* src, std::size_t length);
    void drain();
    void open(int handle) { handle_ = handle; pipe_open_ = true; }
    void close() { pipe_open_ = false; }
    void timeout(std::uint32_t ms) { timeout_ms_ = ms; }

private:
    std::deque<std::optional<std::string>> incoming_;
    std::vector<std::string> writes_;
    std::size_t reads_ = 0;
    bool pipe_open_ = false;
    std::uint32_t timeout_ms_ = 0;
    int handle_ = -1;
};

} // namespace scripted
