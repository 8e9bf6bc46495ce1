// The erase elements of program files, carried out at their place among the
// writes.
#pragma once

#include "firehose.h"
#include "flash_plan.h"

// Refuses, before anything is written, a plan with erase elements when the
// programmer does not offer erase: "the program files erase <labels>, and the
// programmer does not offer erase".
void check_erase_support(const flash_plan& plan, const firehose& programmer);

// Erases the entry's sectors (a start counted from the disk's end resolved
// with `disks`). Throws the programmer's refusal.
void erase_partition(firehose& programmer, const program_entry& entry, const disk_sizes& disks);
