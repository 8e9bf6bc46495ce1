#include "command.h"
#include "firmware_args.h"
#include "flash_phases.h"
#include "gpt.h"
#include "handset_args.h"
#include "json_output.h"
#include "read_session.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr char nothing_erased[] = "Nothing was erased.";

std::string sectors_text(std::uint64_t sectors, std::uint32_t sector_size)
{
    return std::to_string(sectors) + " sectors, " + gpt_size_text(sectors * sector_size);
}

int erase_labels(read_session& session, const parsed_args& args, flash_phases& phases)
{
    const std::vector<std::string> labels(args.positional.begin() + 1, args.positional.end());
    const std::vector<located_partition> found = session.locate(labels, lun_option(args), "erase", nothing_erased);
    if (!session.programmer().supports("erase"))
        throw std::runtime_error(std::string("The programmer does not offer erase. ") + nothing_erased);
    const std::uint32_t sector_size = session.programmer().sector_size();
    phases.writing_began();
    for (const located_partition& p : found) {
        phases.run("Erasing " + p.where(), [&] { session.programmer().erase(p.lun, p.first, p.sectors); });
        std::printf("Erased %s (%s)\n", p.where().c_str(), sectors_text(p.sectors, sector_size).c_str());
        json_out::emit("erased", {{"what", p.where()}, {"lun", p.lun}, {"first", p.first}, {"sectors", p.sectors}});
    }
    return exit_ok;
}

int erase_lun(read_session& session, const parsed_args& args, flash_phases& phases)
{
    const std::uint32_t lun = session.luns(lun_option(args)).front();
    const lun_table t = session.tables(lun).front();
    const std::uint32_t sector_size = session.programmer().sector_size();
    std::string what = "all of LUN " + std::to_string(lun);
    if (t.sectors != 0)
        what += " (" + sectors_text(t.sectors, sector_size) + ")";
    if (t.table) {
        std::string labels;
        for (const gpt_partition& p : t.table->partitions)
            labels += (labels.empty() ? "" : ", ") + p.label;
        what += ", its partition table and every partition on it" + (labels.empty() ? "" : ": " + labels);
    }
    if (!args.has("--yes")) {
        json_out::failure("This would erase " + what + ". " + nothing_erased + " Give --yes to erase it.");
        return exit_failed;
    }
    if (!session.programmer().supports("erase"))
        throw std::runtime_error(std::string("The programmer does not offer erase. ") + nothing_erased);
    std::printf("Erasing %s\n", what.c_str());
    std::fflush(stdout);
    phases.writing_began();
    phases.run("Erasing LUN " + std::to_string(lun), [&] { session.programmer().erase_lun(lun); });
    std::printf("Erased LUN %u\n", lun);
    json_out::emit("erased", {{"what", "LUN " + std::to_string(lun)}, {"lun", lun}, {"first", 0}, {"sectors", t.sectors}});
    return exit_ok;
}

int run_erase(const parsed_args& args)
{
    const bool whole = args.positional.size() == 1;
    if (whole && !args.has("--lun"))
        throw usage_error("name the partitions to erase, or a whole LUN with --lun N");
    if (!whole && args.has("--yes"))
        throw usage_error("--yes confirms erasing a whole LUN; partitions named by label need none");
    const std::string& path = args.positional[0];
    const folder_options folder = folder_options_from(args, path);
    lun_option(args);
    json_out::start({{"package", path}});
    read_session session(path, folder, handset_choice_from(args), !whole || args.has("--yes"), lun_option(args));
    flash_phases phases("Nothing was erased.");
    phases.observe(json_out::emit_phase);
    return whole ? erase_lun(session, args, phases) : erase_labels(session, args, phases);
}

} // namespace

extern const command erase_command = {
    "erase",
    "erase partitions, or a whole LUN, of a handset",
    "Usage: brv erase SOURCE LABEL... [--lun N] [--serial S | --port BUS-PORTS]\n"
    "       brv erase SOURCE --lun N [--yes]\n"
    "\n"
    "Starts the firmware's flash programmer on the handset and erases the named\n"
    "partitions (found by name in the handset's partition tables; --lun narrows\n"
    "the search). Every label is looked up before anything is erased: one that\n"
    "is missing or found on several LUNs stops brv with nothing erased. The\n"
    "second form erases all of LUN N, its partition table included: it says\n"
    "what that destroys and does it only with --yes. A programmer that does not\n"
    "offer erase is refused before anything happens.\n"
    "\n"
    "Example: brv erase firmware/ userdata\n"
    "\n"
    "  --lun N           the LUN to search, or to erase whole\n"
    "  --yes             erase the whole LUN\n"
    "  --serial S        the handset whose USB serial number is S (see brv devices)\n"
    "  --port BUS-PORTS  the handset at that USB port, e.g. 1-2 (see brv devices)\n"
    "\n" BRV_FIRMWARE_HELP,
    with_firmware_options({{"--lun", true}, {"--yes", false}, serial_option, port_option}),
    1,
    SIZE_MAX,
    run_erase,
};
