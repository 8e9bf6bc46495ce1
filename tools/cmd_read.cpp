#include "command.h"
#include "firmware_args.h"
#include "flash_phases.h"
#include "handset_args.h"
#include "interrupt.h"
#include "json_progress.h"
#include "partition_rules.h"
#include "read_session.h"
#include "text_names.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <unistd.h>

namespace {

// One stretch of a LUN to save into one file.
struct saved_range {
    std::string what;  // "boot_a (LUN 0)"
    std::uint32_t lun = 0;
    std::uint64_t first = 0;
    std::uint64_t sectors = 0;
    std::string path;
};

// The partitions the labels name (paths: the file of each, same order), each
// found exactly once in the handset's tables and sound there; every label is
// looked up before anything is read.
std::vector<saved_range> ranges_of_labels(read_session& session, const std::vector<std::string>& labels,
                                          std::optional<std::uint32_t> only, const std::vector<std::string>& paths)
{
    std::vector<saved_range> out;
    for (const located_partition& p : session.locate(labels, only, "read", "Nothing was read."))
        out.push_back({p.where(), p.lun, p.first, p.sectors,
                       paths[std::find(labels.begin(), labels.end(), p.label) - labels.begin()]});
    return out;
}

saved_range raw_range(read_session& session, const parsed_args& args, const std::string& path)
{
    saved_range r;
    r.lun = *lun_option(args);
    r.first = decimal_option(args, "--start");
    r.sectors = decimal_option(args, "--count");
    r.what = "sectors " + std::to_string(r.first) + " to " + std::to_string(r.first + r.sectors - 1) + " of LUN " +
             std::to_string(r.lun);
    r.path = path;
    std::uint64_t disk = 0;
    flash_phases("Nothing was written to the handset.").run("Reading the size of LUN " + std::to_string(r.lun), [&] {
        disk = lun_sectors(session.programmer(), r.lun);
    });
    if (disk != 0 && (r.first >= disk || r.sectors > disk - r.first))
        throw std::runtime_error("Cannot read " + r.what + ": LUN " + std::to_string(r.lun) + " has " +
                                 std::to_string(disk) + " sectors. Nothing was read.");
    return r;
}

// A file the read will save, checked before the handset hears anything: one
// that exists is replaced only with --force (a link never).
void check_output(const std::string& path, bool replace)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (fs::is_directory(status))
        throw usage_error("-o: " + path + " is a directory, not a file");
    if (status.type() != fs::file_type::not_found && (!replace || fs::is_symlink(status)))
        throw std::runtime_error(path + " already exists; give --force to replace it (a link is never replaced). "
                                 "Nothing was read.");
}

// The directory the files go into: one that exists, or (create) can be made,
// and takes files; usage_error otherwise.
void check_output_dir(const std::string& dir, bool create)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec))
        throw usage_error("-o: " + dir + " is not a directory");
    if (create)
        fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir))
        throw usage_error("-o: " + (ec ? "cannot create the directory " + dir + ": " + ec.message()
                                       : dir + " does not exist"));
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        throw usage_error("-o: cannot write into " + dir + ": " + std::strerror(errno));
}

int run_read(const parsed_args& args)
{
    std::vector<std::string> labels;
    for (auto it = args.positional.begin() + 1; it != args.positional.end(); ++it)
        if (std::find(labels.begin(), labels.end(), *it) == labels.end())
            labels.push_back(*it);
    const bool raw = args.has("--start") || args.has("--count");
    if (!args.has("-o"))
        throw usage_error(raw ? "-o FILE is missing" : "-o DIR is missing");
    const std::string out = args.value("-o", "");
    if (out.empty())
        throw usage_error(raw ? "-o needs a file name" : "-o needs a directory");
    const bool replace = args.has("--force");
    std::vector<std::string> paths;
    if (raw) {
        if (!labels.empty())
            throw usage_error("give either partition labels or --lun, --start and --count");
        if (!args.has("--lun") || !args.has("--start") || !args.has("--count"))
            throw usage_error("a raw read needs --lun, --start and --count");
        if (decimal_option(args, "--count") == 0)
            throw usage_error("--count must be at least 1");
        lun_option(args);
        decimal_option(args, "--start");
        const std::filesystem::path parent = std::filesystem::path(out).parent_path();
        check_output_dir(parent.empty() ? "." : parent.string(), false);
        paths.push_back(out);
    } else if (labels.empty()) {
        throw usage_error("name the partitions to read, or give --lun, --start and --count");
    } else {
        std::vector<std::string> names;
        try {
            names = distinct_file_names(labels);
        } catch (const std::exception& e) {
            throw usage_error(e.what());
        }
        check_output_dir(out, true);
        for (const std::string& name : names)
            paths.push_back((std::filesystem::path(out) / name).string());
    }
    for (const std::string& path : paths)
        check_output(path, replace);
    const handset_choice choice = handset_choice_from(args);
    const std::optional<std::uint32_t> only = lun_option(args);

    json_out::start({{"package", args.positional[0]}, {"output", out}});
    read_session session(args.positional[0], folder_options_from(args, args.positional[0]), choice, false, only);
    std::vector<saved_range> ranges;
    if (raw)
        ranges.push_back(raw_range(session, args, out));
    else
        ranges = ranges_of_labels(session, labels, only, paths);

    const std::uint32_t sector_size = session.programmer().sector_size();
    std::uint64_t total = 0;
    for (const saved_range& r : ranges)
        total += r.sectors * sector_size;
    cancel_request cancel;
    const interrupt_cancels interrupt(cancel);
    flash_phases phases("Nothing was written to the handset.");
    phases.observe(json_out::emit_phase);
    const auto display = command_progress();
    {
        progress report(*display, total);
        std::uint64_t reported = 0;
        for (const saved_range& r : ranges) {
            report.message("Reading " + r.what);
            phases.run("Reading " + r.what + " into " + r.path, [&] {
                read_sectors_to_file(
                    session.programmer(), r.lun, r.first, r.sectors, r.path,
                    [&](std::uint64_t done) {
                        phases.stop_if_cancelled(&cancel, r.path + " was not saved" +
                                                              (reported == 0 ? "." : "; the files before it were."));
                        report.update(reported + done);
                    },
                    replace);
            });
            reported += r.sectors * sector_size;
            report.update(reported);
        }
    }
    for (const saved_range& r : ranges) {
        std::printf("Saved %s to %s (%" PRIu64 " bytes)\n", r.what.c_str(), r.path.c_str(),
                    r.sectors * sector_size);
        json_out::emit("saved", {{"what", r.what}, {"lun", r.lun}, {"first", r.first}, {"sectors", r.sectors},
                                 {"file", r.path}, {"bytes", r.sectors * sector_size}});
    }
    return exit_ok;
}

} // namespace

extern const command read_command = {
    "read",
    "save partitions or sectors of a handset to files",
    "Usage: brv read SOURCE LABEL... -o DIR [--lun N] [--force] [--serial S | --port BUS-PORTS]\n"
    "       brv read SOURCE --lun N --start SECTOR --count SECTORS -o FILE [--force]\n"
    "\n"
    "Starts the firmware's flash programmer on the handset, configured to write\n"
    "nothing, and saves each named partition as DIR/LABEL.img, found by its name\n"
    "in the handset's partition tables (a name that is missing, or found on more\n"
    "than one LUN, stops brv before anything is read; --lun narrows the search).\n"
    "The second form saves a range of sectors. A file is written as a new\n"
    "FILE.tmp.XXXXXX (random letters; nothing already there is touched) and\n"
    "renamed once complete, so an interrupted read (Ctrl-C) leaves no file that\n"
    "looks whole. An existing file is not replaced unless --force is given.\n"
    "\n"
    "  -o DIR|FILE       where to save (DIR is created when missing)\n"
    "  --force           replace files that already exist\n"
    "  --lun N           the LUN to search, or to read from\n"
    "  --start SECTOR    first sector of a raw read\n"
    "  --count SECTORS   number of sectors of a raw read\n"
    "  --serial S        the handset whose USB serial number is S (see brv devices)\n"
    "  --port BUS-PORTS  the handset at that USB port, e.g. 1-2 (see brv devices)\n"
    "\n" BRV_FIRMWARE_HELP,
    with_firmware_options({{"-o", true}, {"--lun", true}, {"--start", true}, {"--count", true}, {"--force", false}, serial_option, port_option}),
    1,
    SIZE_MAX,
    run_read,
};
