#include "elf_image.h"

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

void put(std::string& s, std::size_t at, std::uint64_t v, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i)
        s[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

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
    std::string image(table_end, '\0');

    const char ident[] = {0x7f, 'E', 'L', 'F', static_cast<char>(is64 ? 2 : 1), 1, 1};
    image.replace(0, sizeof ident, ident, sizeof ident);
    put(image, 16, type_executable, 2);
    put(image, 18, is64 ? machine_aarch64 : machine_arm, 2);
    put(image, 20, current_version, 4);
    if (is64) {
        put(image, 24, load_address, 8);
        put(image, 32, header, 8);  // program headers right behind
        put(image, 52, header, 2);
        put(image, 54, phdr, 2);
        put(image, 56, segments.size(), 2);
    } else {
        put(image, 24, load_address, 4);
        put(image, 28, header, 4);
        put(image, 40, header, 2);
        put(image, 42, phdr, 2);
        put(image, 44, segments.size(), 2);
    }

    for (std::size_t i = 0; i < segments.size(); ++i) {
        const std::size_t at = header + i * phdr;
        const std::uint64_t offset = image.size();
        const std::uint64_t size = segments[i].size();
        const std::uint64_t address = load_address + offset;
        put(image, at, pt_load, 4);
        if (is64) {
            put(image, at + 4, flags_read_execute, 4);
            put(image, at + 8, offset, 8);
            put(image, at + 16, address, 8);
            put(image, at + 24, address, 8);
            put(image, at + 32, size, 8);
            put(image, at + 40, size, 8);
        } else {
            put(image, at + 4, offset, 4);
            put(image, at + 8, address, 4);
            put(image, at + 12, address, 4);
            put(image, at + 16, size, 4);
            put(image, at + 20, size, 4);
            put(image, at + 24, flags_read_execute, 4);
        }
        image += segments[i];
    }
    return image;
}

} // namespace testsupport
