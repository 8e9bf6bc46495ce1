// The plan of a flash, made and checked before the handset hears anything:
// what each partition receives, and where its backup goes.
#pragma once

#include "firehose.h"
#include "firmware_source.h"
#include "flash_options.h"
#include "flash_phases.h"
#include "progress.h"
#include "program_list.h"
#include "sparse_image.h"

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// One partition the flash writes, or erases (entry.erase; nothing is sent).
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
flash_plan plan_flash(firmware_source& source, std::uint32_t type, progress_handler& handler);

// Sectors of each LUN the flash touches, as the programmer told them (0: it
// did not).
using disk_sizes = std::map<std::uint32_t, std::uint64_t>;

// The partition's first sector on its LUN. A start counted from the end of a
// disk whose size the programmer did not tell throws "Partition <label> (LUN
// n) starts at NUM_DISK_SECTORS-<k>, and the programmer does not tell the size
// of LUN n: it cannot be <what>".
std::uint64_t first_sector(const program_entry& entry, const disk_sizes& disks, const std::string& what);

// A program element for one run of a sparse image: the partition's own element
// with its start and length moved to the run, so the programmer writes exactly
// the run's sectors.
std::string run_element(const program_entry& entry, std::uint64_t start_sector, std::uint64_t sectors,
                        std::uint32_t sector_size);

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
