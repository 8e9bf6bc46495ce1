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
#include <vector>

// Asks the programmer for the size of every LUN the flash touches and refuses a
// partition that does not lie inside its disk ("Partition <label> (LUN n) ...").
// A LUN whose size the programmer does not tell is logged and not checked.
disk_sizes check_against_disk(const flash_plan& plan, firehose& programmer);

// What write_partition does beyond writing, for one partition.
struct write_checks {
    // The partition's first sector on its LUN; needed by both checks below.
    std::uint64_t first_sector = 0;
    // Each stretch written (the partition, or each run of a sparse image) is
    // compared with what was sent: by the programmer's own SHA-256 of it
    // (getsha256digest) when on_handset, else by reading it back.
    bool verify = false;
    bool on_handset = false;
    // The stretches, in order, that the handset holds already (see
    // stretches_on_handset): they are not written. Empty: write them all.
    std::vector<bool> skip;
};

// Writes one partition: the member followed by zeros up to the partition's
// end, or a sparse image's runs, each as a program command of its own.
//
// With checks.verify, a SHA-256 of the bytes sent, taken as they stream past,
// is compared with the programmer's digest of the stretch, or with a SHA-256
// of it read back, so nothing the size of a partition is held. On a
// difference, the sent bytes and the handset's are read once more side by
// side to find the first sector that differs, and verification_mismatch is
// thrown. on_piece then counts the bytes read back as well (up to twice
// bytes_sent in all). With phases, the check runs as a phase of its own
// ("Verifying <label> (LUN n)", or "Reading back ..." for a read-back), so its failures are not called the write's.
void write_partition(firmware_source& source, firehose& programmer, const planned_write& write, const data_progress& on_piece,
                     const write_checks& checks = {}, flash_phases* phases = nullptr);

// Which stretches of the partition (the whole of it, or each run of a sparse
// image) the handset holds already: the programmer's SHA-256 of each
// (getsha256digest) against one of the bytes the flash would send, taken from
// the firmware on another thread meanwhile. same_bytes is the length of those
// that agree. The programmer must offer getsha256digest.
struct stretch_matches {
    std::vector<bool> same;
    std::uint64_t same_bytes = 0;
};
stretch_matches stretches_on_handset(firmware_source& source, firehose& programmer, const planned_write& write,
                                     std::uint64_t first_sector);
