// What the boot ROM needs to know of an ELF programmer image to pull it in:
// its class, where the program headers are, and which file ranges to load.
// Checks follow what a ROM insists on; a failure carries the Sahara status
// the ROM reports for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vhandset {

constexpr std::size_t elf32_header_size = 52;
constexpr std::size_t elf64_header_size = 64;

struct elf_header_info {
    bool is64 = false;
    std::uint64_t phoff = 0;
    std::uint32_t phentsize = 0;
    std::uint32_t phnum = 0;
    std::uint64_t program_headers_bytes() const { return std::uint64_t{phentsize} * phnum; }
};

struct elf_load_range {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// Result of a check: status 0 on success, else the Sahara status to report.
struct elf_check {
    std::uint32_t status = 0;
    bool ok() const { return status == 0; }
};

// True when the first bytes (at least 16) identify a 64-bit ELF file.
bool elf_is64(const unsigned char* ident, std::size_t len);

// Parses the ELF header (52 bytes for 32-bit, 64 for 64-bit images).
elf_check parse_elf_header(const unsigned char* data, std::size_t len, elf_header_info* out);

// Parses the program header table; appends one range per PT_LOAD with file bytes.
elf_check parse_program_headers(const elf_header_info& h, const unsigned char* data, std::size_t len,
                                std::vector<elf_load_range>* out);

} // namespace vhandset
