#include "command.h"
#include "package_builder.h"
#include "package_check.h"
#include "json_progress.h"
#include "paths.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

int run_pack(const parsed_args& args)
{
    const std::string out = args.value("-o", "");
    if (out.empty())
        throw usage_error("missing -o FILE.brp");
    const std::string& dir = args.positional[0];
    json_out::start({{"folder", dir}, {"output", out}, {"force", args.has("--force")}});
    // Checked before anything is written: a refused folder leaves no package.
    const std::vector<std::string> problems = check_package_folder(dir);
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
    "  -o FILE.brp  the package to write (replaced when it exists)\n"
    "  --force      pack even when the check finds problems (test packages)\n"
    "  -v           write log lines to stderr\n",
    {{"-o", true}, {"--force", false}},
    1,
    1,
    run_pack,
};
