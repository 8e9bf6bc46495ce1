// A byte link to a handset: what the protocol clients need of a USB bulk pipe,
// and all a test needs to stand in for one. Transfers keep their boundaries:
// one read returns what the other side sent in one transfer.
//
// "The link broke" and "the handset said no" stay apart: every failure of the
// link itself (time-out, device gone, overflow) is a link_error; what the
// handset answers is the protocol's business.
#pragma once

#include "buffer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>

// The link failed: what() is the system's text for error() (ETIMEDOUT when the
// handset did not answer in time, ENODEV when it left the bus, EOVERFLOW when a
// transfer was larger than the room for it, ...).
class link_error : public std::runtime_error {
public:
    explicit link_error(int error);
    int error() const { return error_; }

private:
    int error_;
};

// One piece of a stream of writes; size 0 ends the stream.
struct write_piece {
    const void* data = nullptr;
    std::size_t size = 0;
};

class transport {
public:
    virtual ~transport() = default;

    // The bytes of one received transfer (>= 1) copied to dst. Throws
    // link_error: ETIMEDOUT when nothing arrived within the time-out, EOVERFLOW
    // when the transfer was larger than capacity (its bytes are lost).
    virtual std::size_t read(void* dst, std::size_t capacity) = 0;
    // Sends length bytes as one transfer; returns length or throws link_error.
    virtual std::size_t write(const void* src, std::size_t length) = 0;
    // Sends each piece `next` hands out as one transfer, in order, until it
    // hands out one of size 0. A link that can queues the following transfer
    // behind the one crossing, so that it never waits for the host between
    // them: a piece must stay valid until `next` has been called twice more
    // (or the call has returned). Throws link_error as write; what `next`
    // throws passes through once no transfer is in flight. This one writes a
    // piece at a time.
    virtual void write_stream(const std::function<write_piece()>& next);
    // How long a read or write may wait, in milliseconds.
    virtual void set_timeout(std::uint32_t ms) = 0;
    virtual std::uint32_t timeout() const = 0;
};

// One transfer into a new buffer sized to what arrived.
buffer read_transfer(transport& link, std::size_t capacity);
// Exactly length bytes, over as many transfers as needed; a transfer larger
// than what remains throws link_error EOVERFLOW.
buffer read_exact(transport& link, std::size_t length);
// Sends the buffer's unread bytes (pos() to size()).
std::size_t write_buffer(transport& link, const buffer& b);
// Reads and discards until a read fails (normally one whole time-out).
void drain(transport& link) noexcept;
