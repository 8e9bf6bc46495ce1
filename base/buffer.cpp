#include "buffer.h"

#include "byte_order.h"

#include <cstring>
#include <stdexcept>
#include <utility>

namespace {
constexpr std::uint64_t granule = 256;

std::uint64_t round_to_granule(std::uint64_t n)
{
    return (n + granule - 1) & ~(granule - 1);
}
} // namespace

buffer::buffer(buffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), capacity_(std::exchange(other.capacity_, 0)),
      size_(std::exchange(other.size_, 0)), pos_(std::exchange(other.pos_, 0))
{
}

buffer& buffer::operator=(const buffer& other)
{
    if (this != &other)
        copy(other);
    return *this;
}

buffer& buffer::operator=(buffer&& other) noexcept
{
    if (this != &other) {
        clear();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        size_ = std::exchange(other.size_, 0);
        pos_ = std::exchange(other.pos_, 0);
    }
    return *this;
}

void buffer::check_bounds(std::uint64_t n) const
{
    if (n > size_)
        throw std::range_error("buffer overflow");
}

void buffer::pos(std::uint64_t n)
{
    check_bounds(n);
    pos_ = n;
}

void buffer::advance(std::uint64_t n)
{
    if (n > UINT64_MAX - pos_)
        throw std::range_error("buffer overflow");
    pos(pos_ + n);
}

void buffer::reserve(std::uint64_t n)
{
    if (capacity_ >= n)
        return;
    if (n > UINT64_MAX - granule)
        throw std::bad_alloc();
    const std::uint64_t new_capacity = round_to_granule(n);
    auto* storage = new std::uint8_t[new_capacity];
    if (size_ != 0)
        std::memcpy(storage, data_, size_);
    std::memset(storage + size_, 0, new_capacity - size_);
    delete[] data_;
    data_ = storage;
    capacity_ = new_capacity;
}

void buffer::resize(std::uint64_t n)
{
    reserve(n);
    size_ = n;
}

void buffer::enqueue(const void* src, std::uint64_t n)
{
    if (n == 0)
        return;
    const std::uint64_t old_size = size_;
    resize(old_size + n);
    std::memcpy(data_ + old_size, src, n);
}

void buffer::enqueue(const buffer& other)
{
    if (&other == this) {
        const buffer snapshot(other);
        enqueue(snapshot);
        return;
    }
    enqueue(other.data_ + other.pos_, other.size_ - other.pos_);
}

void buffer::dequeue(void* dst, std::uint64_t n)
{
    if (n > UINT64_MAX - pos_)
        throw std::range_error("buffer overflow");
    check_bounds(pos_ + n);
    if (n != 0)
        std::memcpy(dst, data_ + pos_, n);
    pos_ += n;
}

void buffer::dequeue_be(std::uint32_t& value)
{
    std::uint8_t b[sizeof value];
    dequeue(b, sizeof b);
    value = load_be32(b);
}

void buffer::dequeue_be(std::uint64_t& value)
{
    std::uint8_t b[sizeof value];
    dequeue(b, sizeof b);
    value = load_be64(b);
}

void buffer::copy(const buffer& other)
{
    if (&other == this)
        return;
    std::uint8_t* storage = nullptr;
    std::uint64_t new_capacity = 0;
    if (other.size_ != 0) {
        new_capacity = round_to_granule(other.size_);
        storage = new std::uint8_t[new_capacity];
        std::memcpy(storage, other.data_, other.size_);
        // Keep the promise that storage beyond size is zero, so a later resize
        // inside this storage never exposes stale bytes.
        std::memset(storage + other.size_, 0, new_capacity - other.size_);
    }
    delete[] data_;
    data_ = storage;
    capacity_ = new_capacity;
    size_ = other.size_;
    pos_ = other.size_ != 0 ? other.pos_ : 0;
}

void buffer::clear()
{
    delete[] data_;
    data_ = nullptr;
    capacity_ = size_ = pos_ = 0;
}
