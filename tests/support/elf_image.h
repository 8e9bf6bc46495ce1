// Small ELF programmer images for the host-side tests: a header, a program
// header table and PT_LOAD segments placed one after another behind it. The
// images are what a boot ROM accepts (little-endian, executable, ARM or
// AArch64), so they serve wherever a test needs "a programmer".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// An image whose segments have the given file sizes and recognisable bytes:
// byte b of segment i is (b * 13 + i) & 0xff, so a test can tell which part
// of the file a handset asked for.
std::string make_elf(bool is64, const std::vector<std::uint32_t>& segment_sizes);

// An image whose segments hold exactly the given bytes, in order.
std::string make_elf_from_segments(bool is64, const std::vector<std::string>& segments);

} // namespace testsupport
