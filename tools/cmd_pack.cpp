#include "command.h"
#include "firmware_args.h"
#include "folder_package.h"
#include "package_builder.h"
#include "package_check.h"
#include "json_progress.h"
#include "paths.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr char params_file[] = "meta/params.txt";

// A package folder holds meta/params.txt; any other folder is a maker's build.
bool is_package_folder(const std::string& dir)
{
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::path(dir) / params_file, ec);
}

// --name or --code-name, or the folder's own name.
std::string name_option(const parsed_args& args, const char* option, const std::string& dir)
{
    std::string name = args.value(option, "");
    if (!args.has(option)) {
        std::filesystem::path folder = std::filesystem::absolute(dir).lexically_normal();
        if (!folder.has_filename())  // "fw/"
            folder = folder.parent_path();
        name = folder.filename().string();
    }
    if (name.empty() || std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
        throw usage_error(std::string(option) + " takes a name on one line");
    return name;
}

int run_pack(const parsed_args& args)
{
    const std::string out = args.value("-o", "");
    if (out.empty())
        throw usage_error("missing -o FILE.brp");
    const std::string& dir = args.positional[0];
    json_out::start({{"folder", dir}, {"output", out}, {"force", args.has("--force")}});
    const bool flat = !is_package_folder(dir);
    const folder_options folder = folder_options_from(args, dir);
    if (!flat && (folder.any() || args.has("--name") || args.has("--code-name")))
        throw usage_error(dir + " holds " + params_file + ", so it is packed as it is; --program, --patch, "
                          "--programmer, --memory, --include, --name and --code-name are for a maker's folder");
    if (flat && args.has("--force"))
        throw usage_error("--force packs a package folder that has problems; a maker's folder must be complete");
    std::optional<folder_source> source;
    folder_package_names names;
    if (flat) {
        names.display_name = name_option(args, "--name", dir);
        names.code_name = name_option(args, "--code-name", dir);
        source.emplace(dir, folder);
    }
    // Checked before anything is written: a refused folder leaves no package.
    const std::vector<std::string> problems = flat ? std::vector<std::string>() : check_package_folder(dir);
    if (!problems.empty()) {
        const bool force = args.has("--force");
        std::fprintf(stderr, "brv pack: %s is not a complete package (%zu problem%s):\n", dir.c_str(), problems.size(),
                     problems.size() == 1 ? "" : "s");
        for (const std::string& p : problems)
            std::fprintf(stderr, "  %s\n", p.c_str());
        json_out::emit("problems", {{"problems", problems}});
        if (!force) {
            json_out::failure("Nothing was written. Complete the folder, or pack it anyway with --force.",
                              "incomplete_folder");
            return exit_failed;
        }
        std::fprintf(stderr, "Packing anyway (--force).\n");
    }
    const auto display = command_progress();
    progress_handler& bar = *display;
    bool started = false;
    auto report = [&](std::uint64_t done, std::uint64_t total) {
        if (!started) {
            bar.init(total);
            bar.message("Packing");
            bar.started();
            started = true;
        }
        bar.value(done);
        bar.changed();
    };
    try {
        if (flat)
            pack_folder(*source, names, out, report);
        else
            pack_directory(dir, out, report);
    } catch (...) {
        if (started)
            bar.finished();
        throw;
    }
    if (started)
        bar.finished();
    std::uint64_t size = 0;
    stat_size(out, size);
    std::printf("%s: %llu bytes\n", out.c_str(), static_cast<unsigned long long>(size));
    json_out::emit("packed", {{"output", out}, {"bytes", size}});
    return exit_ok;
}

} // namespace

extern const command pack_command = {
    "pack",
    "build a package from a directory",
    "Usage: brv pack DIR -o FILE.brp [--force]\n"
    "       brv pack FIRMWARE-DIR -o FILE.brp [--name NAME] [--code-name NAME] [folder options]\n"
    "\n"
    "Packs every regular file under DIR (names relative to DIR) into a new\n"
    "package. The same directory always gives the same bytes. The package\n"
    "appears under its name only once it is complete.\n"
    "\n"
    "First DIR is checked the way a flash reads the package: meta/params.txt\n"
    "must set device_memory_type, device_sector_size, firehose_filename,\n"
    "program_filename and patch_filename; the programmer must be an ELF file;\n"
    "the program file (<data>) and the patch file (<patches>) must parse; every\n"
    "image the program file names must be in DIR and fit its partition. Every\n"
    "problem is listed and nothing is written (exit status 1).\n"
    "\n"
    "A folder without meta/params.txt is a maker's firmware folder (see below):\n"
    "its program files are merged into rawprogram.xml and its patch files into\n"
    "patch.xml, and the package holds them, the programmer and the images they\n"
    "name, so that it flashes exactly as the folder does. Every missing image is\n"
    "listed and nothing is written.\n"
    "\n"
    "  -o FILE.brp       the package to write (replaced when it exists)\n"
    "  --force           pack even when the check finds problems (test packages)\n"
    "  --name NAME       the handset's name in a package of a maker's folder\n"
    "                    (default: the folder's name)\n"
    "  --code-name NAME  its code name (default: the folder's name)\n"
    "  -v                write log lines to stderr\n"
    "\n" BRV_FIRMWARE_HELP,
    with_firmware_options({{"-o", true}, {"--force", false}, {"--name", true}, {"--code-name", true}}),
    1,
    1,
    run_pack,
};
