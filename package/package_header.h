// The 256-byte header of a .brp file, encoded and decoded in this one place:
// external magic "BRV\0" (readable), then, scrambled with the key the payload
// length gives, the internal magic, the format version and the payload length
// (big-endian), the payload's MD5 and SHA-256, and zeros.
#pragma once

#include "scrozzler.h"

#include <array>
#include <cstdint>
#include <string>

struct fwpkg_header {
    std::uint8_t ext_magic[4];
    std::uint8_t int_magic[4];
    std::uint32_t version;
    std::uint64_t data_length;
    std::uint8_t md5[16];
    std::uint8_t sha256[32];
};

constexpr std::uint32_t fwpkg_header_size = 256;
constexpr std::uint32_t fwpkg_version = 0x00010000;
// The scrambler's key length, and the read window that descrambles the payload.
constexpr std::uint32_t fwpkg_window_size = 65536;

using header_bytes = std::array<std::uint8_t, fwpkg_header_size>;

// The header as stored: scrambled with key, the leading magic left readable.
header_bytes encode_header(std::uint64_t data_length, const std::uint8_t (&md5)[16],
                           const std::uint8_t (&sha256)[32], const scrozzler& key);

// Decodes the first `size` bytes of a file of file_size bytes (size may be
// short). On success the header is set and the result is empty; otherwise the
// result says what is wrong ("bad external magic", "bad internal magic", "bad
// version", "data length mismatch", "failed to read header", each with its
// numbers), and the header is left as far as it was read.
std::string decode_header(const std::uint8_t* stored, std::size_t size, std::uint64_t file_size,
                          const scrozzler& key, fwpkg_header& header);
