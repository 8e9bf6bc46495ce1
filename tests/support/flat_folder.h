// A maker's UFS flat build for the tests, shaped as the field notes describe:
// prog_firehose_ddr.elf, rawprogram0..5.xml and patch0..5.xml (13 DISK patches
// and 13 gpt_main/gpt_backup ones per LUN), gpt_main<N>.bin / gpt_backup<N>.bin
// made for the smallest disk (the DISK patches move them to the real one),
// _a/_b pairs (xbl on LUNs 1 and 2, boot/dtbo/vbmeta on LUN 4; slot a marked
// active), an Android sparse super made by img2simg, a BLANK_GPT variant that
// names a file the folder lacks, and rawprogram5_WIPE_PARTITIONS.xml with
// <erase> elements.
//
// expected_lun() computes, independently of the code under test, what each
// LUN holds once the folder is flashed: tables for the real disk size, every
// image (super expanded) at its partition, zeros elsewhere.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

struct flat_partition {
    unsigned lun = 0;
    std::string label;
    std::uint64_t first = 0;
    std::uint64_t sectors = 0;     // for the grow partition: on the real disk
    std::string image;             // its file in the folder; empty: nothing written
    std::string content;           // what the partition starts with once flashed (sparse expanded)
    std::uint64_t attributes = 0;
};

class flat_folder {
public:
    static constexpr std::uint32_t sector_size = 4096;
    static constexpr unsigned luns = 6;

    // Writes the folder into dir (created) for LUNs of lun_bytes each.
    flat_folder(const std::filesystem::path& dir, std::uint64_t lun_bytes);

    const std::filesystem::path& dir() const { return dir_; }
    std::uint64_t lun_sectors() const { return lun_sectors_; }
    const std::vector<flat_partition>& partitions() const { return partitions_; }
    const flat_partition& partition(const std::string& label) const;

    // LUN n's bytes once the folder is flashed (rawprogram<n>.xml and patch<n>.xml).
    std::string expected_lun(unsigned lun) const;
    // One table copy for a disk of disk_sectors: the primary (protective MBR,
    // header, array) or the backup (array, header).
    std::string table_bytes(unsigned lun, std::uint64_t disk_sectors, bool primary) const;

private:
    std::filesystem::path dir_;
    std::uint64_t lun_sectors_;
    std::vector<flat_partition> partitions_;
};

// Deterministic bytes that differ with the seed.
std::string pattern_bytes(std::size_t size, unsigned seed);

} // namespace testsupport
