#include "partition_erase.h"

#include <stdexcept>

void check_erase_support(const flash_plan& plan, const firehose& programmer)
{
    std::string labels;
    for (const auto* list : {&plan.base, &plan.os})
        for (const planned_write& w : *list)
            if (w.entry.erase)
                labels += (labels.empty() ? "" : ", ") + w.entry.label;
    if (!labels.empty() && !programmer.supports("erase"))
        throw std::runtime_error("the program files erase " + labels + ", and the programmer does not offer erase");
}

void erase_partition(firehose& programmer, const program_entry& entry, const disk_sizes& disks)
{
    programmer.erase(entry.lun, first_sector(entry, disks, "erased"), entry.sectors);
}
