// The number expressions programmers accept in start_sector, num_partition_sectors
// and patch values: decimal or 0x-hexadecimal numbers, NUM_DISK_SECTORS, + - * /,
// parentheses, an optional '.' after any operand ("NUM_DISK_SECTORS-33."), and
// CRC32(start_sector_expression, byte_count_expression) where allowed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vhandset {

struct expression_context {
    std::uint64_t num_disk_sectors = 0;
    // CRC-32 of `len` bytes from `sector`; empty when CRC32(...) is not allowed.
    std::function<std::uint32_t(std::uint64_t sector, std::uint64_t len)> crc32;
};

// Evaluates `text` in unsigned 64-bit arithmetic. Throws std::invalid_argument
// (message says why) for bad syntax, a negative or overflowing intermediate
// result, division by zero, or CRC32 where it is not allowed. Errors thrown by
// the crc32 callback pass through.
std::uint64_t evaluate_expression(const std::string& text, const expression_context& ctx);

} // namespace vhandset
