// Fixed-width unsigned integers stored in a byte order of their own, whatever
// the host's: little-endian (USB, GPT, zip, Sahara, sparse images, MD5) and
// big-endian (the package header, SHA-256).
//
// Three forms:
// - load_xxN(p) / store_xxN(p, v): exactly N/8 bytes at p, which the caller
//   has already checked (digest blocks, fixed-size records);
// - load_xxN(bytes, offset) / store_xxN(bytes, offset, v): bounds-aware; a
//   value that would reach past the end of `bytes` throws std::out_of_range
//   ("byte_order: <n> bytes at offset <o> of <size>") before anything is
//   read or written;
// - append_xxN(out, v): appends the bytes to a std::string or a byte vector
//   (writers that build a record field by field).
//
// Named byte_order.h rather than endian.h: base/ is on the include path, and
// glibc's <sys/types.h> includes <endian.h>, which would then find this file.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>

namespace endian_detail {

template <std::unsigned_integral T>
constexpr T swapped(T v)
{
    if constexpr (sizeof(T) == 2)
        return __builtin_bswap16(v);
    else if constexpr (sizeof(T) == 4)
        return __builtin_bswap32(v);
    else
        return __builtin_bswap64(v);
}

template <std::unsigned_integral T, std::endian order>
constexpr T ordered(T v)
{
    return order == std::endian::native ? v : swapped(v);
}

template <std::unsigned_integral T, std::endian order>
T load(const std::uint8_t* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return ordered<T, order>(v);
}

template <std::unsigned_integral T, std::endian order>
void store(std::uint8_t* p, T v)
{
    v = ordered<T, order>(v);
    std::memcpy(p, &v, sizeof v);
}

inline void check(std::size_t size, std::size_t offset, std::size_t width)
{
    if (offset > size || width > size - offset)
        throw std::out_of_range("byte_order: " + std::to_string(width) + " bytes at offset " + std::to_string(offset) +
                                " of " + std::to_string(size));
}

template <std::unsigned_integral T, std::endian order>
T load_at(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    check(bytes.size(), offset, sizeof(T));
    return load<T, order>(bytes.data() + offset);
}

template <std::unsigned_integral T, std::endian order>
void store_at(std::span<std::uint8_t> bytes, std::size_t offset, T v)
{
    check(bytes.size(), offset, sizeof(T));
    store<T, order>(bytes.data() + offset, v);
}

template <std::unsigned_integral T, std::endian order, typename Bytes>
void append(Bytes& out, T v)
{
    std::uint8_t b[sizeof v];
    store<T, order>(b, v);
    for (const std::uint8_t c : b)
        out.push_back(static_cast<typename Bytes::value_type>(c));
}

} // namespace endian_detail

inline std::uint16_t load_le16(const std::uint8_t* p) { return endian_detail::load<std::uint16_t, std::endian::little>(p); }
inline std::uint32_t load_le32(const std::uint8_t* p) { return endian_detail::load<std::uint32_t, std::endian::little>(p); }
inline std::uint64_t load_le64(const std::uint8_t* p) { return endian_detail::load<std::uint64_t, std::endian::little>(p); }
inline std::uint32_t load_be32(const std::uint8_t* p) { return endian_detail::load<std::uint32_t, std::endian::big>(p); }
inline std::uint64_t load_be64(const std::uint8_t* p) { return endian_detail::load<std::uint64_t, std::endian::big>(p); }

inline void store_le16(std::uint8_t* p, std::uint16_t v) { endian_detail::store<std::uint16_t, std::endian::little>(p, v); }
inline void store_le32(std::uint8_t* p, std::uint32_t v) { endian_detail::store<std::uint32_t, std::endian::little>(p, v); }
inline void store_le64(std::uint8_t* p, std::uint64_t v) { endian_detail::store<std::uint64_t, std::endian::little>(p, v); }
inline void store_be32(std::uint8_t* p, std::uint32_t v) { endian_detail::store<std::uint32_t, std::endian::big>(p, v); }
inline void store_be64(std::uint8_t* p, std::uint64_t v) { endian_detail::store<std::uint64_t, std::endian::big>(p, v); }

inline std::uint16_t load_le16(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return endian_detail::load_at<std::uint16_t, std::endian::little>(bytes, offset);
}
inline std::uint32_t load_le32(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return endian_detail::load_at<std::uint32_t, std::endian::little>(bytes, offset);
}
inline std::uint64_t load_le64(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return endian_detail::load_at<std::uint64_t, std::endian::little>(bytes, offset);
}
inline std::uint32_t load_be32(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return endian_detail::load_at<std::uint32_t, std::endian::big>(bytes, offset);
}
inline std::uint64_t load_be64(std::span<const std::uint8_t> bytes, std::size_t offset)
{
    return endian_detail::load_at<std::uint64_t, std::endian::big>(bytes, offset);
}

inline void store_le16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t v)
{
    endian_detail::store_at<std::uint16_t, std::endian::little>(bytes, offset, v);
}
inline void store_le32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t v)
{
    endian_detail::store_at<std::uint32_t, std::endian::little>(bytes, offset, v);
}
inline void store_le64(std::span<std::uint8_t> bytes, std::size_t offset, std::uint64_t v)
{
    endian_detail::store_at<std::uint64_t, std::endian::little>(bytes, offset, v);
}
inline void store_be32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t v)
{
    endian_detail::store_at<std::uint32_t, std::endian::big>(bytes, offset, v);
}
inline void store_be64(std::span<std::uint8_t> bytes, std::size_t offset, std::uint64_t v)
{
    endian_detail::store_at<std::uint64_t, std::endian::big>(bytes, offset, v);
}

template <typename Bytes>
void append_le16(Bytes& out, std::uint16_t v) { endian_detail::append<std::uint16_t, std::endian::little>(out, v); }
template <typename Bytes>
void append_le32(Bytes& out, std::uint32_t v) { endian_detail::append<std::uint32_t, std::endian::little>(out, v); }
template <typename Bytes>
void append_le64(Bytes& out, std::uint64_t v) { endian_detail::append<std::uint64_t, std::endian::little>(out, v); }
template <typename Bytes>
void append_be32(Bytes& out, std::uint32_t v) { endian_detail::append<std::uint32_t, std::endian::big>(out, v); }
template <typename Bytes>
void append_be64(Bytes& out, std::uint64_t v) { endian_detail::append<std::uint64_t, std::endian::big>(out, v); }
