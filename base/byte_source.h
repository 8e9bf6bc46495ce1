// A forward-only stream of bytes: an archive member being inflated, a file, or
// a test's memory. Readers of large images pull bounded pieces through it, so
// nothing the size of a partition is ever held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class byte_source {
public:
    virtual ~byte_source() = default;
    // Copies up to len bytes into out and returns how many; 0 only at the end.
    // A source that cannot deliver (corrupt data, I/O error) throws
    // std::runtime_error, never returns a short count that reads as the end.
    virtual std::size_t read(std::uint8_t* out, std::size_t len) = 0;
};

// Up to len bytes, gathered from as many reads as the source needs; fewer only
// when the source ends first.
inline std::size_t read_up_to(byte_source& source, std::uint8_t* out, std::size_t len)
{
    std::size_t got = 0;
    while (got < len) {
        const std::size_t n = source.read(out + got, len - got);
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

// Reads the source to its end, keeping nothing: what a source checks or counts
// as bytes pass (a member's CRC, a digest) is then done.
inline void read_through(byte_source& source)
{
    constexpr std::size_t piece_bytes = std::size_t{1} << 20;
    const auto piece = std::make_unique_for_overwrite<std::uint8_t[]>(piece_bytes);
    while (source.read(piece.get(), piece_bytes) != 0) {
    }
}
