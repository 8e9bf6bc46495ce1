#include "command.h"
#include "firmware_args.h"
#include "flash_phases.h"
#include "gpt.h"
#include "handset_args.h"
#include "image_file.h"
#include "json_output.h"
#include "json_progress.h"
#include "read_session.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>

namespace {

constexpr char nothing_written[] = "Nothing was written.";

// Where the file goes: a partition found by label, or sectors from --start on.
struct write_target {
    std::string where;
    std::uint32_t lun = 0;
    std::uint64_t first = 0;
    std::uint64_t sectors = 0;  // room from first on
};

write_target target_of(read_session& session, const parsed_args& args)
{
    if (!args.has("--start")) {
        const located_partition p = session.locate({args.positional[1]}, lun_option(args), "write", nothing_written).front();
        return {p.where(), p.lun, p.first, p.sectors};
    }
    write_target t;
    t.lun = session.luns(lun_option(args)).front();
    t.first = decimal_option(args, "--start");
    t.where = "LUN " + std::to_string(t.lun) + " from sector " + std::to_string(t.first);
    const std::uint64_t disk = lun_sectors(session.programmer(), t.lun);
    if (disk == 0)
        throw std::runtime_error("The programmer does not tell the size of LUN " + std::to_string(t.lun) +
                                 ", so the write cannot be checked against it. " + nothing_written);
    if (t.first >= disk)
        throw std::runtime_error("Sector " + std::to_string(t.first) + " lies beyond LUN " + std::to_string(t.lun) +
                                 " (" + std::to_string(disk) + " sectors). " + nothing_written);
    t.sectors = disk - t.first;
    return t;
}

int run_write(const parsed_args& args)
{
    const bool raw = args.has("--start");
    if (raw && (args.positional.size() != 2 || !args.has("--lun")))
        throw usage_error("a write to sectors takes SOURCE FILE with --lun and --start");
    if (!raw && args.positional.size() != 3)
        throw usage_error("name the partition and the file: brv write SOURCE LABEL FILE");
    const std::string& path = args.positional[0];
    const std::string& image = args.positional.back();
    const folder_options folder = folder_options_from(args, path);
    if (raw) {
        lun_option(args);
        decimal_option(args, "--start");
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(image, ec))
        throw std::runtime_error(image + " is not a file. " + nothing_written);

    json_out::start({{"package", path}, {"file", image}});
    read_session session(path, folder, handset_choice_from(args), true, lun_option(args));
    const write_target t = target_of(session, args);
    const std::uint32_t sector_size = session.programmer().sector_size();
    flash_phases phases("Nothing was written to the handset.");
    phases.observe(json_out::emit_phase);
    image_write_plan plan;
    phases.run("Checking " + image, [&] { plan = check_image_file(image, sector_size, t.sectors * sector_size, t.where); });

    const auto display = command_progress();
    {
        progress report(*display, plan.bytes_sent);
        report.message("Writing " + image + " to " + t.where);
        phases.watch_storage([&session] { return session.programmer().storage_touched(); });
        phases.writing_began();
        phases.run("Writing " + image + " to " + t.where, [&] {
            write_image_file(session.programmer(), t.lun, t.first, plan, [&](std::uint64_t done) { report.update(done); });
        });
    }
    std::printf("Wrote %s to %s (%" PRIu64 " bytes%s)\n", image.c_str(), t.where.c_str(), plan.bytes_sent,
                plan.sparse ? " of a sparse image's data" : "");
    json_out::emit("written", {{"what", t.where}, {"lun", t.lun}, {"first", t.first}, {"file", image},
                               {"bytes", plan.bytes_sent}, {"sparse", plan.sparse.has_value()}});
    return exit_ok;
}

} // namespace

extern const command write_command = {
    "write",
    "write one image file to a partition or to sectors of a handset",
    "Usage: brv write SOURCE LABEL FILE [--lun N] [--serial S | --port BUS-PORTS]\n"
    "       brv write SOURCE FILE --lun N --start SECTOR\n"
    "\n"
    "Starts the firmware's flash programmer on the handset and writes FILE, a raw\n"
    "image or an Android sparse image, to the partition LABEL (found by its name\n"
    "in the handset's partition tables; --lun narrows the search) or from SECTOR\n"
    "of LUN N on. A raw image is written in whole sectors, the last one padded\n"
    "with zeros; a sparse image as its data. The rest of the partition keeps what\n"
    "it held. Refused before anything is written: a label that is missing or on\n"
    "several LUNs, a file larger than the partition (or the rest of the LUN), a\n"
    "damaged sparse image. The handset is not reset afterwards.\n"
    "\n"
    "Example: brv write firmware/ boot_a boot.img\n"
    "\n"
    "  --lun N           the LUN to search, or to write to\n"
    "  --start SECTOR    write from this sector of the LUN on\n"
    "  --serial S        the handset whose USB serial number is S (see brv devices)\n"
    "  --port BUS-PORTS  the handset at that USB port, e.g. 1-2 (see brv devices)\n"
    "\n" BRV_FIRMWARE_HELP,
    with_firmware_options({{"--lun", true}, {"--start", true}, serial_option, port_option}),
    2,
    3,
    run_write,
};
