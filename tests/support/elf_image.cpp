#include "elf_image.h"

#include "byte_order.h"

#include <algorithm>
#include <iterator>

namespace testsupport {

namespace {

constexpr std::size_t header32 = 52;
constexpr std::size_t header64 = 64;
constexpr std::size_t phdr32 = 32;
constexpr std::size_t phdr64 = 56;
constexpr std::uint16_t type_executable = 2;
constexpr std::uint32_t current_version = 1;
constexpr std::uint32_t pt_load = 1;
constexpr std::uint32_t flags_read_execute = 5;
constexpr std::uint16_t machine_arm = 40;
constexpr std::uint16_t machine_aarch64 = 183;
constexpr std::uint64_t load_address = 0x14680000;
constexpr unsigned pattern_step = 13;

} // namespace

std::string make_elf(bool is64, const std::vector<std::uint32_t>& segment_sizes)
{
    std::vector<std::string> segments;
    segments.reserve(segment_sizes.size());
    for (std::size_t i = 0; i < segment_sizes.size(); ++i) {
        std::string bytes(segment_sizes[i], '\0');
        for (std::size_t b = 0; b < bytes.size(); ++b)
            bytes[b] = static_cast<char>((b * pattern_step + i) & 0xff);
        segments.push_back(std::move(bytes));
    }
    return make_elf_from_segments(is64, segments);
}

std::string make_elf_from_segments(bool is64, const std::vector<std::string>& segments)
{
    const std::size_t header = is64 ? header64 : header32;
    const std::size_t phdr = is64 ? phdr64 : phdr32;
    const std::size_t table_end = header + phdr * segments.size();
    std::vector<std::uint8_t> image(table_end);

    const std::uint8_t ident[] = {0x7f, 'E', 'L', 'F', static_cast<std::uint8_t>(is64 ? 2 : 1), 1, 1};
    std::copy(std::begin(ident), std::end(ident), image.begin());
    store_le16(image, 16, type_executable);
    store_le16(image, 18, is64 ? machine_aarch64 : machine_arm);
    store_le32(image, 20, current_version);
    if (is64) {
        store_le64(image, 24, load_address);
        store_le64(image, 32, header);  // program headers right behind
        store_le16(image, 52, header);
        store_le16(image, 54, phdr);
        store_le16(image, 56, segments.size());
    } else {
        store_le32(image, 24, load_address);
        store_le32(image, 28, header);
        store_le16(image, 40, header);
        store_le16(image, 42, phdr);
        store_le16(image, 44, segments.size());
    }

    for (std::size_t i = 0; i < segments.size(); ++i) {
        const std::size_t at = header + i * phdr;
        const std::uint64_t offset = image.size();
        const std::uint64_t size = segments[i].size();
        const std::uint64_t address = load_address + offset;
        store_le32(image, at, pt_load);
        if (is64) {
            store_le32(image, at + 4, flags_read_execute);
            store_le64(image, at + 8, offset);
            store_le64(image, at + 16, address);
            store_le64(image, at + 24, address);
            store_le64(image, at + 32, size);
            store_le64(image, at + 40, size);
        } else {
            store_le32(image, at + 4, offset);
            store_le32(image, at + 8, address);
            store_le32(image, at + 12, address);
            store_le32(image, at + 16, size);
            store_le32(image, at + 20, size);
            store_le32(image, at + 24, flags_read_execute);
        }
        image.insert(image.end(), segments[i].begin(), segments[i].end());
    }
    return std::string(image.begin(), image.end());
}

} // namespace testsupport
