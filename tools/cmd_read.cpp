#include "command.h"
#include "handset_args.h"
#include "json_progress.h"
#include "partition_rules.h"
#include "read_session.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <set>

namespace {

// One stretch of a LUN to save into one file.
struct saved_range {
    std::string what;  // "boot_a (LUN 0)"
    std::uint32_t lun = 0;
    std::uint64_t first = 0;
    std::uint64_t sectors = 0;
    std::string path;
};

// The partitions the labels name, each found exactly once in the handset's
// tables; every label is looked up before anything is read.
std::vector<saved_range> ranges_of_labels(read_session& session, const std::vector<std::string>& labels,
                                          std::optional<std::uint32_t> only, const std::string& dir)
{
    const std::vector<lun_table> tables = session.tables(only);
    std::string where = only ? "LUN " + std::to_string(*only) : "any LUN";
    for (const lun_table& t : tables)
        if (!t.table && !t.absent)
            where += "; LUN " + std::to_string(t.lun) + " has " + t.problem;

    std::vector<saved_range> out;
    std::set<std::string> done;
    std::string missing;
    for (const std::string& label : labels) {
        if (!done.insert(label).second)
            continue;
        std::vector<saved_range> found;
        for (const lun_table& t : tables) {
            if (!t.table)
                continue;
            for (const gpt_partition& p : t.table->partitions)
                if (p.label == label)
                    found.push_back({label + " (LUN " + std::to_string(t.lun) + ")", t.lun, p.first,
                                     p.last - p.first + 1, ""});
        }
        if (found.empty()) {
            missing += (missing.empty() ? "\"" : ", \"") + label + "\"";
            continue;
        }
        if (found.size() > 1) {
            std::string places;
            for (const saved_range& r : found)
                places += (places.empty() ? "" : ", ") + r.what;
            throw std::runtime_error("The label \"" + label + "\" names " + std::to_string(found.size()) +
                                     " partitions: " + places + "; choose one LUN with --lun. Nothing was read.");
        }
        found[0].path = (std::filesystem::path(dir) / label_file_name(label)).string();
        out.push_back(found[0]);
    }
    if (!missing.empty())
        throw std::runtime_error("No partition labelled " + missing + " on the handset (" + where +
                                 "); brv partitions lists them. Nothing was read.");
    return out;
}

saved_range raw_range(read_session& session, const parsed_args& args, const std::string& path)
{
    saved_range r;
    r.lun = session.luns(lun_option(args)).front();
    r.first = decimal_option(args, "--start");
    r.sectors = decimal_option(args, "--count");
    r.what = "sectors " + std::to_string(r.first) + " to " + std::to_string(r.first + r.sectors - 1) + " of LUN " +
             std::to_string(r.lun);
    r.path = path;
    const std::uint64_t disk = lun_sectors(session.programmer(), r.lun);
    if (disk != 0 && (r.first >= disk || r.sectors > disk - r.first))
        throw std::runtime_error("Cannot read " + r.what + ": LUN " + std::to_string(r.lun) + " has " +
                                 std::to_string(disk) + " sectors. Nothing was read.");
    return r;
}

int run_read(const parsed_args& args)
{
    const std::vector<std::string> labels(args.positional.begin() + 1, args.positional.end());
    const bool raw = args.has("--start") || args.has("--count");
    if (!args.has("-o"))
        throw usage_error(raw ? "-o FILE is missing" : "-o DIR is missing");
    const std::string out = args.value("-o", "");
    if (raw) {
        if (!labels.empty())
            throw usage_error("give either partition labels or --lun, --start and --count");
        if (!args.has("--lun") || !args.has("--start") || !args.has("--count"))
            throw usage_error("a raw read needs --lun, --start and --count");
        if (decimal_option(args, "--count") == 0)
            throw usage_error("--count must be at least 1");
        lun_option(args);
        decimal_option(args, "--start");
    } else if (labels.empty()) {
        throw usage_error("name the partitions to read, or give --lun, --start and --count");
    }
    const handset_choice choice = handset_choice_from(args);

    json_out::start({{"package", args.positional[0]}, {"output", out}});
    read_session session(args.positional[0], choice);
    std::vector<saved_range> ranges;
    if (raw) {
        ranges.push_back(raw_range(session, args, out));
    } else {
        ranges = ranges_of_labels(session, labels, lun_option(args), out);
        std::error_code ec;
        std::filesystem::create_directories(out, ec);
        if (ec)
            throw std::runtime_error("Cannot create the directory " + out + ": " + ec.message());
    }

    const std::uint32_t sector_size = session.programmer().sector_size();
    std::uint64_t total = 0;
    for (const saved_range& r : ranges)
        total += r.sectors * sector_size;
    const auto display = command_progress();
    {
        progress report(*display, total);
        std::uint64_t reported = 0;
        for (const saved_range& r : ranges) {
            report.message("Reading " + r.what);
            read_sectors_to_file(session.programmer(), r.lun, r.first, r.sectors, r.path,
                                 [&](std::uint64_t done) { report.update(reported + done); });
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
    "Usage: brv read FILE.brp LABEL... -o DIR [--lun N] [--serial S | --port BUS-PORTS]\n"
    "       brv read FILE.brp --lun N --start SECTOR --count SECTORS -o FILE\n"
    "\n"
    "Starts the package's flash programmer on the handset, configured to write\n"
    "nothing, and saves each named partition as DIR/LABEL.img, found by its name\n"
    "in the handset's partition tables (a name that is missing, or found on more\n"
    "than one LUN, stops brv before anything is read; --lun narrows the search).\n"
    "The second form saves a range of sectors. A file is written as FILE.tmp and\n"
    "renamed once complete, so an interrupted read leaves no file that looks whole.\n"
    "\n"
    "  -o DIR|FILE       where to save (DIR is created when missing)\n"
    "  --lun N           the LUN to search, or to read from\n"
    "  --start SECTOR    first sector of a raw read\n"
    "  --count SECTORS   number of sectors of a raw read\n"
    "  --serial S        the handset whose USB serial number is S (see brv devices)\n"
    "  --port BUS-PORTS  the handset at that USB port, e.g. 1-2 (see brv devices)\n",
    {{"-o", true}, {"--lun", true}, {"--start", true}, {"--count", true}, serial_option, port_option},
    1,
    SIZE_MAX,
    run_read,
};
