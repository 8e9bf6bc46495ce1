#include "elf_layout.h"

#include "sahara_packet.h"

namespace vhandset {

namespace {

constexpr std::size_t ident_size = 16;
constexpr unsigned char elf_magic[] = {0x7f, 'E', 'L', 'F'};
constexpr unsigned char class32 = 1;
constexpr unsigned char class64 = 2;
constexpr unsigned char little_endian = 1;
constexpr unsigned char current_version = 1;
constexpr std::size_t ei_class = 4, ei_data = 5, ei_version = 6;

constexpr std::uint32_t pt_load = 1;
constexpr std::uint32_t phdr32_size = 32;
constexpr std::uint32_t phdr64_size = 56;
constexpr std::uint32_t max_program_headers = 128;
// A programmer is loaded into on-chip memory; anything larger is not one.
constexpr std::uint64_t max_image_bytes = 64ull << 20;

using sahara::load_le16;
using sahara::load_le32;
using sahara::load_le64;

elf_check fail(std::uint32_t status) { return elf_check{status}; }

} // namespace

bool elf_is64(const unsigned char* ident, std::size_t len)
{
    return len > ei_class && ident[ei_class] == class64;
}

elf_check parse_elf_header(const unsigned char* d, std::size_t len, elf_header_info* out)
{
    if (len < ident_size)
        return fail(sahara::status_invalid_elf_header);
    for (std::size_t i = 0; i < sizeof elf_magic; ++i)
        if (d[i] != elf_magic[i])
            return fail(sahara::status_invalid_elf_header);
    if ((d[ei_class] != class32 && d[ei_class] != class64) || d[ei_data] != little_endian ||
        d[ei_version] != current_version)
        return fail(sahara::status_invalid_elf_header);
    elf_header_info h;
    h.is64 = d[ei_class] == class64;
    if (len < (h.is64 ? elf64_header_size : elf32_header_size))
        return fail(sahara::status_invalid_elf_header);
    if (h.is64) {
        h.phoff = load_le64(d + 32);
        h.phentsize = load_le16(d + 54);
        h.phnum = load_le16(d + 56);
    } else {
        h.phoff = load_le32(d + 28);
        h.phentsize = load_le16(d + 42);
        h.phnum = load_le16(d + 44);
    }
    if (h.phoff == 0)
        return fail(sahara::status_uninitialised_program_header);
    if (h.phentsize != (h.is64 ? phdr64_size : phdr32_size))
        return fail(sahara::status_program_header_length);
    if (h.phnum == 0 || h.phnum > max_program_headers)
        return fail(sahara::status_program_header_count);
    if (h.phoff > max_image_bytes)
        return fail(sahara::status_program_header_length);
    *out = h;
    return {};
}

elf_check parse_program_headers(const elf_header_info& h, const unsigned char* d, std::size_t len,
                                std::vector<elf_load_range>* out)
{
    if (len != h.program_headers_bytes())
        return fail(sahara::status_program_header_length);
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < h.phnum; ++i) {
        const unsigned char* p = d + std::size_t{i} * h.phentsize;
        std::uint32_t type = load_le32(p);
        std::uint64_t offset = 0, filesz = 0, memsz = 0;
        if (h.is64) {
            offset = load_le64(p + 8);
            filesz = load_le64(p + 32);
            memsz = load_le64(p + 40);
        } else {
            offset = load_le32(p + 4);
            filesz = load_le32(p + 16);
            memsz = load_le32(p + 20);
        }
        if (type != pt_load || filesz == 0)
            continue;
        if (filesz > memsz || offset > max_image_bytes || filesz > max_image_bytes - offset)
            return fail(sahara::status_program_header_length);
        total += filesz;
        if (total > max_image_bytes)
            return fail(sahara::status_invalid_image_size);
        out->push_back({offset, filesz});
    }
    if (out->empty())
        return fail(sahara::status_program_header_count);
    return {};
}

} // namespace vhandset
