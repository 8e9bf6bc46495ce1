// The writing half of a flash, once the programmer is configured: the plan
// checked against the disks the programmer reports, and each partition written
// (and read back) through it.
#pragma once

#include "firehose.h"
#include "firmware_source.h"
#include "flash_phases.h"
#include "flash_plan.h"

#include <cstdint>
#include <optional>

// Asks the programmer for the size of every LUN the flash touches and refuses a
// partition that does not lie inside its disk ("Partition <label> (LUN n) ...").
// A LUN whose size the programmer does not tell is logged and not checked.
disk_sizes check_against_disk(const flash_plan& plan, firehose& programmer);

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
// bytes_sent in all). With phases, the read-back runs as a phase of its own
// ("Reading back <label> (LUN n)"), so its failures are not called the write's.
void write_partition(firmware_source& source, firehose& programmer, const planned_write& write, const data_progress& on_piece,
                     std::optional<std::uint64_t> read_back_from = std::nullopt, flash_phases* phases = nullptr);
