// GUID partition tables as a handset's LUN holds them (UEFI, "GUID Partition
// Table Disk Layout"): a header at LBA 1 with its partition entry array, and a
// backup header at the last LBA with its own copy of the array. Every number
// on the disk is little-endian; both headers and the arrays carry CRC-32s.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

struct gpt_guid {
    std::uint8_t bytes[16] = {};
    // "0FC63DAF-8483-4772-8E79-3D69D8477DE4": the first three fields are
    // stored little-endian, the last two as they are written.
    std::string text() const;
    bool is_zero() const;
};

struct gpt_header {
    std::uint64_t my_lba = 0;
    std::uint64_t alternate_lba = 0;
    std::uint64_t first_usable = 0;
    std::uint64_t last_usable = 0;
    gpt_guid disk_guid;
    std::uint64_t entries_lba = 0;
    std::uint32_t entry_count = 0;
    std::uint32_t entry_size = 0;
    std::uint32_t entries_crc = 0;
};

struct gpt_partition {
    std::uint32_t index = 0;  // 1-based position in the entry array
    gpt_guid type;
    gpt_guid unique;
    std::uint64_t first = 0;  // first and last sector, inclusive
    std::uint64_t last = 0;
    std::uint64_t attributes = 0;
    std::string label;  // UTF-8 from the entry's UTF-16LE name
};

struct gpt_table {
    gpt_header header;
    std::vector<gpt_partition> partitions;  // used entries, in array order
    // Set when the primary table was unusable and the backup was read instead.
    bool from_backup = false;
    std::string primary_problem;  // why the primary was unusable
};

// Reads `count` sectors from `lba` on; returns exactly count x sector size bytes.
using gpt_sector_reader = std::function<std::vector<std::uint8_t>(std::uint64_t lba, std::uint32_t count)>;

// The header in one sector, checked: signature, revision 1.x, header size,
// header CRC, its own LBA (`expected_lba`), entry size (a multiple of 8, at
// least 128), an entry array that lies on a disk of `disk_sectors` (0: not
// known, not checked) and is at most 1 MiB. False with *why on a problem.
bool parse_gpt_header(const std::uint8_t* sector, std::size_t sector_size, std::uint64_t expected_lba,
                      std::uint64_t disk_sectors, gpt_header* header, std::string* why);

// The used entries of an entry array (its CRC checked against the header's).
bool parse_gpt_entries(const gpt_header& header, const std::uint8_t* array, std::size_t size,
                       std::vector<gpt_partition>* partitions, std::string* why);

// Neither header has the GPT signature: the LUN holds no partition table
// (blank, or partitioned some other way), as opposed to a damaged one.
class gpt_absent : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// There is a table, but neither copy of it is usable.
class gpt_damaged : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One copy of a table (the primary or the backup) as it lies on the disk, its
// bytes kept for editing: the header's sector and the entry array's sectors.
struct gpt_copy {
    std::uint64_t header_lba = 0;
    std::vector<std::uint8_t> header_sector;  // one sector
    std::vector<std::uint8_t> array;          // whole sectors from header.entries_lba
    gpt_header header;
    std::vector<gpt_partition> partitions;    // used entries, in array order
};

// Reads and checks the copy whose header lies at header_lba. Throws gpt_absent
// when that sector lacks the GPT signature, gpt_damaged with the reason when
// the header or its array is unusable; the reader's own failures pass through.
gpt_copy read_gpt_copy(const gpt_sector_reader& read, std::uint32_t sector_size, std::uint64_t header_lba,
                       std::uint64_t disk_sectors);

// Sets the 64-bit attribute field of entry `index` (1-based, as
// gpt_partition::index) in the copy's bytes and in its partitions, then
// recomputes the array's CRC into the header and the header's own CRC, so the
// copy stays valid. Throws std::out_of_range for an index beyond the array.
void set_gpt_attributes(gpt_copy& copy, std::uint32_t index, std::uint64_t attributes);

// Reads the primary table; when its header or array is unusable, reads the
// backup at the disk's last sector (when disk_sectors is known) and notes why
// in primary_problem. Throws gpt_absent when neither header has the signature,
// gpt_damaged "no valid GPT (primary: <why>; backup: <why>)" when neither is
// usable; the reader's own failures pass through.
gpt_table read_gpt(const gpt_sector_reader& read, std::uint32_t sector_size, std::uint64_t disk_sectors);

// A size as gdisk shows it: "512 bytes", "256.0 KiB", "1.5 GiB".
std::string gpt_size_text(std::uint64_t bytes);
