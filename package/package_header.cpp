#include "package_header.h"

#include "buffer.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint8_t package_magic[4] = {'B', 'R', 'V', 0};
// The external magic: what file(1) and a person see.
constexpr std::size_t plain_bytes = sizeof package_magic;

void put_be(std::uint8_t* p, std::uint64_t value, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
}

} // namespace

header_bytes encode_header(std::uint64_t data_length, const std::uint8_t (&md5)[16],
                           const std::uint8_t (&sha256)[32], const scrozzler& key)
{
    header_bytes h{};
    std::uint8_t* p = h.data();
    std::memcpy(p, package_magic, sizeof package_magic);
    p += sizeof package_magic;
    std::memcpy(p, package_magic, sizeof package_magic);
    p += sizeof package_magic;
    put_be(p, fwpkg_version, sizeof(std::uint32_t));
    p += sizeof(std::uint32_t);
    put_be(p, data_length, sizeof(std::uint64_t));
    p += sizeof(std::uint64_t);
    std::memcpy(p, md5, sizeof md5);
    p += sizeof md5;
    std::memcpy(p, sha256, sizeof sha256);
    // Header byte i meets key byte i; the leading magic stays readable.
    key.scramble(h.data(), h.size());
    std::memcpy(h.data(), package_magic, plain_bytes);
    return h;
}

std::string decode_header(const std::uint8_t* stored, std::size_t size, std::uint64_t file_size,
                          const scrozzler& key, fwpkg_header& header)
{
    if (size < fwpkg_header_size)
        return "failed to read header: the file holds " + std::to_string(file_size) + " bytes, fewer than " +
               std::to_string(fwpkg_header_size);
    buffer block;
    block.enqueue(stored, fwpkg_header_size);
    block.dequeue(header.ext_magic, sizeof header.ext_magic);
    if (std::memcmp(header.ext_magic, package_magic, sizeof package_magic) != 0)
        return "bad external magic: not a .brp package";

    // The plain external magic is descrambled along with the rest and ignored.
    key.scramble(block.c_ptr(), fwpkg_header_size);

    block.dequeue(header.int_magic, sizeof header.int_magic);
    if (std::memcmp(header.int_magic, package_magic, sizeof package_magic) != 0)
        return "bad internal magic: the header is damaged";
    block.dequeue_be(header.version);
    if (header.version != fwpkg_version) {
        char text[64];
        std::snprintf(text, sizeof text, "bad version: 0x%08x, this program reads 0x%08x", header.version,
                      fwpkg_version);
        return text;
    }
    block.dequeue_be(header.data_length);
    if (file_size < fwpkg_header_size || header.data_length != file_size - fwpkg_header_size)
        return "data length mismatch: the header says " + std::to_string(header.data_length) +
               " payload bytes, the file holds " +
               std::to_string(file_size < fwpkg_header_size ? 0 : file_size - fwpkg_header_size) +
               " (truncated or grown)";
    block.dequeue(header.md5, sizeof header.md5);
    block.dequeue(header.sha256, sizeof header.sha256);
    return "";
}
