#include "command.h"
#include "firmware_args.h"
#include "handset_args.h"
#include "json_output.h"
#include "read_session.h"
#include "text_names.h"

#include <cinttypes>
#include <cstdio>

namespace {

// Prints the LUN's table; false when the table is damaged or its entries
// are unsound.
bool print_table(const lun_table& t, std::uint32_t sector_size)
{
    std::printf("LUN %u: ", t.lun);
    if (t.sectors != 0)
        std::printf("%" PRIu64 " sectors of %u bytes (%s)", t.sectors, sector_size,
                    gpt_size_text(t.sectors * sector_size).c_str());
    else
        std::printf("size not told by the programmer, sectors of %u bytes", sector_size);
    if (!t.table) {
        std::printf("; %s\n", t.problem.c_str());
        return t.absent;
    }
    const gpt_table& g = *t.table;
    std::printf(", GPT with up to %u entries, disk GUID %s\n", g.header.entry_count, g.header.disk_guid.text().c_str());
    if (g.from_backup)
        std::printf("The primary GPT is unusable (%s); this is the backup GPT at sector %" PRIu64 ".\n",
                    g.primary_problem.c_str(), g.header.my_lba);
    std::printf("Number  Start (sector)    End (sector)  Size       Type GUID                             Name\n");
    for (const gpt_partition& p : g.partitions)
        std::printf("%4u  %14" PRIu64 "  %14" PRIu64 "   %-10s  %s  %s\n", p.index, p.first, p.last,
                    p.last < p.first ? "-" : gpt_size_text((p.last - p.first + 1) * sector_size).c_str(),
                    p.type.text().c_str(), printable_name(p.label).c_str());
    const std::vector<gpt_entry_problem> problems = gpt_entry_problems(g, t.sectors);
    for (const gpt_entry_problem& problem : problems)
        std::printf("Unsound entry: %s\n", problem.text.c_str());
    return problems.empty();
}

json_out::object table_json(const lun_table& t, std::uint32_t sector_size)
{
    json_out::object fields = {{"lun", t.lun},
                               {"sectors", t.sectors == 0 ? json_out::object(nullptr) : json_out::object(t.sectors)},
                               {"sector_size", sector_size},
                               {"problem", t.table ? json_out::object(nullptr) : json_out::object(t.problem)},
                               {"absent", t.absent}};
    if (!t.table) {
        fields["partitions"] = nullptr;
        return fields;
    }
    fields["disk_guid"] = t.table->header.disk_guid.text();
    fields["from_backup"] = t.table->from_backup;
    json_out::object parts = json_out::object::array();
    for (const gpt_partition& p : t.table->partitions)
        parts.push_back({{"number", p.index}, {"first", p.first}, {"last", p.last}, {"type", p.type.text()},
                         {"name", p.label}});
    fields["partitions"] = parts;
    return fields;
}

int run_partitions(const parsed_args& args)
{
    const std::optional<std::uint32_t> only = lun_option(args);
    const handset_choice choice = handset_choice_from(args);
    json_out::start({{"package", args.positional[0]}});
    read_session session(args.positional[0], folder_options_from(args, args.positional[0]), choice, false, only);
    const std::vector<lun_table> tables = session.tables(only);
    int status = exit_ok;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        if (i > 0)
            std::printf("\n");
        const bool sound = print_table(tables[i], session.programmer().sector_size());
        json_out::emit("lun", table_json(tables[i], session.programmer().sector_size()));
        if (!sound) {
            status = exit_failed;
            json_out::failure("LUN " + std::to_string(tables[i].lun) + ": " +
                                  (tables[i].table ? "entries of its partition table are unsound" : tables[i].problem),
                              "damaged_table");
        }
    }
    return status;
}

} // namespace

extern const command partitions_command = {
    "partitions",
    "list the partition tables on a handset",
    "Usage: brv partitions SOURCE [--lun N] [--serial S | --port BUS-PORTS]\n"
    "\n"
    "Starts the firmware's flash programmer on the handset, configured to write\n"
    "nothing, reads the GPT of each LUN (0 on eMMC, 0 to 5 on UFS) and prints its\n"
    "partitions: number, first and last sector, size, type GUID and name. Both\n"
    "CRCs of a table are checked; when the primary table is unusable the backup\n"
    "at the LUN's last sector is read and the listing says so. A LUN without a\n"
    "partition table is shown as such; a damaged one, or entries that end\n"
    "before they start, reach beyond the disk or overlap (each listed as an\n"
    "\"Unsound entry\"), make the exit status 1.\n"
    "\n"
    "  --lun N           only that LUN\n"
    "  --serial S        the handset whose USB serial number is S (see brv devices)\n"
    "  --port BUS-PORTS  the handset at that USB port, e.g. 1-2 (see brv devices)\n"
    "\n" BRV_FIRMWARE_HELP,
    with_firmware_options({{"--lun", true}, serial_option, port_option}),
    1,
    1,
    run_partitions,
};
