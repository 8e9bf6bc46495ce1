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
#include <optional>
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
// as progress ("Checking <member>"). Throws on the first problem; a cancel
// request ends it with "Cancelled before anything was written".
flash_plan plan_flash(fwpkg& package, std::uint32_t type, progress_handler& handler,
                      const std::atomic<bool>& cancelled);

// Asks the programmer for the size of every LUN the flash touches and refuses a
// partition that does not lie inside its disk ("Partition <label> (LUN n) ...").
// A LUN whose size the programmer does not tell is logged and not checked.
void check_against_disk(const flash_plan& plan, firehose& programmer);

// Writes one partition: the member followed by zeros up to the partition's
// end, or a sparse image's runs, each as a program command of its own.
void write_partition(fwpkg& package, firehose& programmer, const planned_write& write, const data_progress& on_piece);

// Why a step failed, for a user: the programmer's refusal, a handset that
// stopped answering or left the bus, or the error's own text.
std::string flash_failure_cause(const std::exception& e);
