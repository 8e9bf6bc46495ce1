#include "slot_switch.h"

#include "ab_slot.h"
#include "gpt.h"
#include "handset_reader.h"
#include "log.h"
#include "memory_type.h"

#include <map>
#include <optional>
#include <set>
#include <stdexcept>

namespace {

struct lun_copies {
    std::uint32_t lun = 0;
    gpt_copy primary;
    gpt_copy backup;
};

std::string lun_name(std::uint32_t lun)
{
    return "LUN " + std::to_string(lun);
}

std::string luns_text(std::uint32_t memory_type)
{
    const std::vector<std::uint32_t> luns = memory_luns(memory_type);
    return luns.size() == 1 ? "LUN 0" : "LUNs 0 to " + std::to_string(luns.back());
}

// Names that come with both an _a and a _b partition, on any LUN.
std::set<std::string> slot_pairs(const std::vector<std::pair<std::uint32_t, std::vector<gpt_partition>>>& tables)
{
    std::set<std::string> a, b, both;
    for (const auto& [lun, partitions] : tables)
        for (const gpt_partition& p : partitions) {
            if (slot_of(p.label) == 'a')
                a.insert(slot_pair_name(p.label));
            else if (slot_of(p.label) == 'b')
                b.insert(slot_pair_name(p.label));
        }
    for (const std::string& name : a)
        if (b.count(name) != 0)
            both.insert(name);
    return both;
}

bool in_pair(const std::set<std::string>& pairs, const gpt_partition& p)
{
    return slot_of(p.label) != 0 && pairs.count(slot_pair_name(p.label)) != 0;
}

// Both copies of a LUN's table, or nothing when the LUN has no table.
std::optional<lun_copies> read_copies(firehose& programmer, std::uint32_t lun)
{
    const std::uint64_t disk = lun_sectors(programmer, lun);
    const gpt_sector_reader read = lun_sector_reader(programmer, lun);
    lun_copies c;
    c.lun = lun;
    try {
        c.primary = read_gpt_copy(read, programmer.sector_size(), 1, disk);
    } catch (const gpt_absent&) {
        log_info("slot: %s has no partition table\n", lun_name(lun).c_str());
        return std::nullopt;
    } catch (const gpt_damaged& e) {
        throw std::runtime_error(lun_name(lun) + ": the primary partition table is unusable (" + e.what() + ")");
    }
    if (disk < 2)
        throw std::runtime_error("the programmer does not tell the size of " + lun_name(lun) +
                                 ", so its backup partition table cannot be found");
    try {
        c.backup = read_gpt_copy(read, programmer.sector_size(), disk - 1, disk);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(lun_name(lun) + ": the backup partition table at sector " +
                                 std::to_string(disk - 1) + " is unusable (" + e.what() + ")");
    }
    return c;
}

// Gives the copy's slotted entries the slot's attributes; returns how many changed.
std::size_t mark_slot(gpt_copy& copy, const std::set<std::string>& pairs, char slot)
{
    std::map<std::uint32_t, std::uint64_t> changes;
    for (const gpt_partition& p : copy.partitions) {
        if (!in_pair(pairs, p))
            continue;
        const std::uint64_t wanted = slot_of(p.label) == slot ? activated_slot(p.attributes) : deactivated_slot(p.attributes);
        if (wanted != p.attributes)
            changes[p.index] = wanted;
    }
    for (const auto& [index, attributes] : changes)
        set_gpt_attributes(copy, index, attributes);
    return changes.size();
}

void write_copy(firehose& programmer, const gpt_copy& copy)
{
    // The array first: until the header follows, the old header's CRC no
    // longer matches, and a boot loader takes the other copy.
    programmer.program(static_cast<std::uint32_t>(copy.header.entries_lba), copy.array.data(),
                       static_cast<std::uint32_t>(copy.array.size()));
    programmer.program(static_cast<std::uint32_t>(copy.header_lba), copy.header_sector.data(),
                       static_cast<std::uint32_t>(copy.header_sector.size()));
}

} // namespace

slot_state read_slot_state(firehose& programmer, std::uint32_t memory_type)
{
    std::vector<std::pair<std::uint32_t, std::vector<gpt_partition>>> tables;
    for (const std::uint32_t lun : memory_luns(memory_type)) {
        try {
            tables.emplace_back(lun, read_lun_gpt(programmer, lun, lun_sectors(programmer, lun)).partitions);
        } catch (const gpt_absent&) {
        } catch (const gpt_damaged& e) {
            throw gpt_damaged(lun_name(lun) + ": " + e.what());
        }
    }
    const std::set<std::string> pairs = slot_pairs(tables);
    slot_state state;
    state.has_ab = !pairs.empty();
    for (const auto& [lun, partitions] : tables)
        for (const gpt_partition& p : partitions)
            if (in_pair(pairs, p) && slot_is_active(p.attributes))
                (slot_of(p.label) == 'a' ? state.active_a : state.active_b).push_back(p.label + " (" + lun_name(lun) + ")");
    if (!state.active_a.empty() && state.active_b.empty())
        state.active = 'a';
    else if (state.active_a.empty() && !state.active_b.empty())
        state.active = 'b';
    return state;
}

std::uint32_t bootable_drive_for(std::uint32_t memory_type, char slot)
{
    if (memory_type != memory_ufs)
        return 0;
    return slot == 'a' ? 1 : 2;
}

slot_switch_result switch_slot(firehose& programmer, std::uint32_t memory_type, char slot)
{
    if (slot != 'a' && slot != 'b')
        throw std::invalid_argument("slot: a or b");
    std::vector<lun_copies> luns;
    for (const std::uint32_t lun : memory_luns(memory_type))
        if (auto c = read_copies(programmer, lun))
            luns.push_back(std::move(*c));

    std::vector<std::pair<std::uint32_t, std::vector<gpt_partition>>> tables;
    for (const lun_copies& c : luns) {
        tables.emplace_back(c.lun, c.primary.partitions);
        tables.emplace_back(c.lun, c.backup.partitions);
    }
    const std::set<std::string> pairs = slot_pairs(tables);
    if (pairs.empty())
        throw std::runtime_error("This handset has no A/B partitions: no partition in the tables of " +
                                 luns_text(memory_type) + " comes as NAME_a and NAME_b");
    if (!programmer.supports("setbootablestoragedrive"))
        throw std::runtime_error("the programmer does not offer setbootablestoragedrive, which the handset needs to "
                                 "start from the other slot");

    slot_switch_result result;
    for (lun_copies& c : luns) {
        const std::size_t changed = mark_slot(c.primary, pairs, slot) + mark_slot(c.backup, pairs, slot);
        if (changed == 0)
            continue;
        result.changed_entries += changed;
        result.luns_written.push_back(c.lun);
        programmer.set_physical_partition(c.lun);
        write_copy(programmer, c.primary);
        write_copy(programmer, c.backup);
    }
    programmer.set_physical_partition(0);
    result.bootable_drive = bootable_drive_for(memory_type, slot);
    programmer.set_bootable_storage_drive(result.bootable_drive);
    return result;
}
