// The parts of a flash below fwpkg::flash: the plan made and checked before the
// handset hears anything, the check against the disk once the programmer is
// configured, and the writing of one partition.
#pragma once

#include "firehose.h"
#include "fwpkg.h"
#include "program_list.h"
#include "sparse_image.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// One partition the flash writes.
struct planned_write {
    program_entry entry;
    std::uint64_t member_size = 0;
    std::optional<sparse_plan> sparse;  // set when the member is an Android sparse image
    std::uint64_t bytes_sent = 0;       // what the data phases carry: the partition, or the image's runs
};

struct flash_plan {
    program_list programs;
    patch_list patches;
    std::vector<planned_write> base;
    std::vector<planned_write> os;   // empty for base_only
    std::uint64_t bytes_to_write = 0;
};

// Parses and checks both XML files and reads every member the flash will write
// through its CRC (sparse images through every chunk), reporting the bytes read
// as progress ("Checking <member>"). Throws on the first problem. A cancel
// request is not looked at here: it skips the OS partitions, as always.
flash_plan plan_flash(fwpkg& package, std::uint32_t type, progress_handler& handler);

// Sectors of each LUN the flash touches, as the programmer told them (0: it
// did not).
using disk_sizes = std::map<std::uint32_t, std::uint64_t>;

// Asks the programmer for the size of every LUN the flash touches and refuses a
// partition that does not lie inside its disk ("Partition <label> (LUN n) ...").
// A LUN whose size the programmer does not tell is logged and not checked.
disk_sizes check_against_disk(const flash_plan& plan, firehose& programmer);

// The partition's first sector on its LUN. A start counted from the end of a
// disk whose size the programmer did not tell throws "Partition <label> (LUN
// n) starts at NUM_DISK_SECTORS-<k>, and the programmer does not tell the size
// of LUN n: it cannot be <what>".
std::uint64_t first_sector(const program_entry& entry, const disk_sizes& disks, const std::string& what);

// What came back from the handset differs from what was sent. what() reads
// "Verification failed: <label> (LUN n) differs at sector s".
class verification_mismatch : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes one partition: the member followed by zeros up to the partition's
// end, or a sparse image's runs, each as a program command of its own.
//
// With read_back_from (the partition's first sector) set, each partition, or
// each run of a sparse image, is read back right after it is written and a
// SHA-256 of what came back is compared with one of what was sent, both taken
// as the bytes stream past, so nothing the size of a partition is held. On a
// difference, the sent bytes and the handset's are read once more side by
// side to find the first sector that differs, and verification_mismatch is
// thrown. on_piece then counts the bytes read back as well (up to twice
// bytes_sent in all).
void write_partition(fwpkg& package, firehose& programmer, const planned_write& write, const data_progress& on_piece,
                     std::optional<std::uint64_t> read_back_from = std::nullopt);

// One file of a backup: a partition the flash will write, saved before.
struct backup_file {
    const planned_write* write = nullptr;
    std::string path;  // <dir>/<label>.img; <label>_<n>.img when the plan writes that label more than once
};

// Lays out the backup of every partition the plan writes, checked before the
// handset hears anything: the directory is created when missing and must be
// writable, every label must make a file name, no backup file may exist yet
// (a backup from an earlier run may be the only copy of that handset's data),
// and the file system must have room for all of them. Throws
// std::runtime_error "Backup: <what>" otherwise.
std::vector<backup_file> plan_backup(const flash_plan& plan, const std::string& dir);

// The bytes plan_backup's files will hold.
std::uint64_t backup_bytes(const std::vector<backup_file>& files);

// Why a step failed, for a user: the programmer's refusal, a handset that
// stopped answering or left the bus, or the error's own text.
std::string flash_failure_cause(const std::exception& e);
