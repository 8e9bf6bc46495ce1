#include "piece_pipeline.h"

#include <algorithm>
#include <cstring>

namespace {

// One piece on the cable, one queued behind it, one ready, one being filled.
constexpr std::size_t buffer_count = 4;
// Pieces handed out that stay valid.
constexpr std::size_t pieces_in_use = 2;

} // namespace

piece_pipeline::piece_pipeline(byte_source& source, std::uint64_t total, std::size_t piece_bytes)
    : source_(source), total_(total), piece_bytes_(piece_bytes)
{
    if (total_ <= piece_bytes_) {
        // One piece has nothing to overlap with: it is read here, without a
        // thread, into a buffer of its own size (a sparse image of many short
        // runs would otherwise start a thread and fill megabytes per run).
        buffers_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(std::max<std::size_t>(total_, 1)));
        free_.push_back(0);
        fill();
        return;
    }
    for (std::size_t i = 0; i < buffer_count; ++i) {
        buffers_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(piece_bytes_));
        free_.push_back(i);
    }
    filler_ = std::thread([this] { fill(); });
}

piece_pipeline::~piece_pipeline()
{
    {
        const std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (filler_.joinable())
        filler_.join();
}

void piece_pipeline::fill()
{
    bool source_ended = false;
    try {
        for (std::uint64_t done = 0; done < total_;) {
            std::size_t index = 0;
            {
                std::unique_lock<std::mutex> hold(lock_);
                changed_.wait(hold, [this] { return stopping_ || !free_.empty(); });
                if (stopping_)
                    return;
                index = free_.front();
                free_.pop_front();
            }
            std::uint8_t* buffer = buffers_[index].get();
            const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(piece_bytes_, total_ - done));
            const std::size_t filled = source_ended ? 0 : read_up_to(source_, buffer, length);
            source_ended = filled < length;
            std::memset(buffer + filled, 0, length - filled);
            done += length;
            {
                const std::lock_guard<std::mutex> hold(lock_);
                ready_.emplace_back(index, length);
            }
            changed_.notify_all();
        }
    } catch (...) {
        const std::lock_guard<std::mutex> hold(lock_);
        error_ = std::current_exception();
    }
    changed_.notify_all();
}

piece_pipeline::piece piece_pipeline::next()
{
    std::unique_lock<std::mutex> hold(lock_);
    if (in_use_.size() == pieces_in_use) {
        free_.push_back(in_use_.front());
        in_use_.pop_front();
        changed_.notify_all();
    }
    if (handed_ >= total_)
        return {};
    changed_.wait(hold, [this] { return !ready_.empty() || error_; });
    if (!ready_.empty()) {
        const auto [index, size] = ready_.front();
        ready_.pop_front();
        in_use_.push_back(index);
        handed_ += size;
        return {buffers_[index].get(), size};
    }
    if (error_)
        std::rethrow_exception(error_);
    return {};
}
