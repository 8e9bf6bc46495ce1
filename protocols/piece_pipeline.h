// The data phase's pieces, read from their source on a thread of their own
// while the previous pieces cross the cable, so inflating an archive member
// and the USB transfers overlap instead of taking turns (a host that stops to
// fill its next buffer leaves the link idle). A few buffers of one piece each
// are all it holds.
#pragma once

#include "byte_source.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class piece_pipeline {
public:
    // Pieces of piece_bytes (the last one shorter) covering total bytes: the
    // source's bytes, then zeros once it ends. The source is used only by the
    // pipeline's thread until the pipeline is destroyed; a total of one piece
    // or less is read at once, on the caller's thread.
    piece_pipeline(byte_source& source, std::uint64_t total, std::size_t piece_bytes);
    ~piece_pipeline();
    piece_pipeline(const piece_pipeline&) = delete;
    piece_pipeline& operator=(const piece_pipeline&) = delete;

    struct piece {
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;  // 0: no more pieces
        explicit operator bool() const { return size != 0; }
    };
    // The next piece, valid until the second call after this one (one piece
    // may cross the cable while the next is queued behind it); rethrows what
    // the source threw.
    piece next();

private:
    void fill();

    byte_source& source_;
    const std::uint64_t total_;
    const std::size_t piece_bytes_;
    std::vector<std::unique_ptr<std::uint8_t[]>> buffers_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::size_t> free_;                           // buffer indexes ready to fill
    std::deque<std::pair<std::size_t, std::size_t>> ready_;  // (buffer, bytes) in order
    std::deque<std::size_t> in_use_;                         // buffers handed out by next(), oldest first
    std::uint64_t handed_ = 0;                               // bytes handed out by next()
    std::exception_ptr error_;
    bool stopping_ = false;
    std::thread filler_;
};
