// GUID partition table images as package tools ship them: gpt_main0.bin
// (protective MBR, header, partition array) and gpt_backup0.bin (array, then
// header), made for the smallest disk that holds the partitions. The handset's
// DISK patches later move the backup, the last usable sector and the growing
// partition's end to the real disk size and recompute the CRCs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct gpt_partition {
    std::string label;      // ASCII, at most 36 characters
    std::uint64_t first = 0;
    std::uint64_t sectors = 0;  // 0: grows to the end of the disk
};

struct gpt_images {
    std::vector<std::uint8_t> main;    // gpt_primary_sectors sectors
    std::vector<std::uint8_t> backup;  // gpt_backup_sectors sectors
};

constexpr std::uint32_t gpt_sector_size = 512;
constexpr std::uint32_t gpt_entry_count = 128;
constexpr std::uint32_t gpt_entry_size = 128;
constexpr std::uint32_t gpt_array_sectors = gpt_entry_count * gpt_entry_size / gpt_sector_size;
constexpr std::uint32_t gpt_primary_sectors = 2 + gpt_array_sectors;  // MBR, header, array
constexpr std::uint32_t gpt_backup_sectors = gpt_array_sectors + 1;   // array, header

// Throws std::runtime_error when the partitions do not fit the table (too many,
// overlapping, a label too long, a growing partition that is not the last).
gpt_images build_gpt(const std::vector<gpt_partition>& partitions);
