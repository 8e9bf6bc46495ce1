// The one byte container: a growable array with a separate read position.
// Producers append at the end, consumers take from the front without moving
// memory. Reads past the valid bytes throw std::range_error("buffer overflow")
// before anything is copied, so a failed read changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

class buffer {
public:
    buffer() = default;
    buffer(const buffer& other) { copy(other); }
    buffer(buffer&& other) noexcept;
    buffer& operator=(const buffer& other);
    buffer& operator=(buffer&& other) noexcept;
    ~buffer() { clear(); }

    std::uint64_t size() const { return size_; }
    std::uint64_t capacity() const { return capacity_; }
    const std::uint8_t* c_ptr() const { return data_; }
    std::uint8_t* c_ptr() { return data_; }

    std::uint64_t pos() const { return pos_; }
    void pos(std::uint64_t n);        // throws when n > size()
    void advance(std::uint64_t n);    // pos(pos() + n)
    void check_bounds(std::uint64_t n) const;  // throws when n > size()

    // Grows storage to at least n bytes, in 256-byte granules; new storage is zero.
    void reserve(std::uint64_t n);
    // reserve(n), then size = n. The read position is left alone.
    void resize(std::uint64_t n);

    void enqueue(const void* src, std::uint64_t n);
    // Appends the unread part (pos..size) of another buffer.
    void enqueue(const buffer& other);

    void dequeue(void* dst, std::uint64_t n);
    // Host (little-endian) byte order.
    template <typename T>
        requires(std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::uint64_t>)
    void dequeue(T& value) { dequeue(&value, sizeof value); }
    // Most significant byte first.
    void dequeue_be(std::uint32_t& value);
    void dequeue_be(std::uint64_t& value);

    // Independent copy of the valid bytes and the read position.
    void copy(const buffer& other);
    // Releases the storage; all fields become zero.
    void clear();

private:
    std::uint8_t* data_ = nullptr;
    std::uint64_t capacity_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t pos_ = 0;
};
