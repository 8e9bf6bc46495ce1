// Small ELF programmer images for upload tests: a header, a program header
// table and loadable segments filled with recognisable bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Builds a little-endian executable ELF (32- or 64-bit) whose PT_LOAD segments
// have the given file sizes, placed one after another behind the headers.
std::string make_elf(bool is64, const std::vector<std::uint32_t>& segment_sizes);
