// The active A/B slot of a handset, read from and written to the partition
// tables of its LUNs through the programmer.
#pragma once

#include "firehose.h"

#include <cstdint>
#include <string>
#include <vector>

struct slot_state {
    bool has_ab = false;  // some partition comes as NAME_a and NAME_b
    // 'a' or 'b' when the partitions marked active all belong to that slot;
    // 0 when none is marked, or both slots have some.
    char active = 0;
    // The slotted partitions marked active, as "boot_a (LUN 4)".
    std::vector<std::string> active_a;
    std::vector<std::string> active_b;
};

// What the tables of the handset's LUNs (0 on eMMC, 0 to 5 on UFS) say; a LUN
// without a table is passed over. Throws gpt_damaged "LUN n: ..." for a LUN
// whose tables are both unusable, and the programmer's errors.
slot_state read_slot_state(firehose& programmer, std::uint32_t memory_type);

// The LUN the boot ROM starts from for a slot: on UFS 1 for a and 2 for b,
// on eMMC 0.
std::uint32_t bootable_drive_for(std::uint32_t memory_type, char slot);

struct slot_switch_result {
    std::size_t changed_entries = 0;  // entries whose attributes changed, both copies counted
    std::vector<std::uint32_t> luns_written;
    std::uint32_t bootable_drive = 0;
};

// Makes `slot` ('a' or 'b') the active one: in the primary and the backup
// table of every LUN, each partition of a NAME_a/NAME_b pair gets the
// attributes of the active or the other slot (ab_slot.h), both CRCs are
// recomputed and the changed tables' sectors are written back with program
// commands (entry array, then header; primary, then backup); then the bootable
// storage drive is set. Before anything is written, both tables of every LUN
// are read and checked, and it throws std::runtime_error with nothing
// written when a table is damaged, a LUN's size (so its backup) is not known,
// the handset has no A/B partitions, or the programmer does not offer
// setbootablestoragedrive.
slot_switch_result switch_slot(firehose& programmer, std::uint32_t memory_type, char slot);
