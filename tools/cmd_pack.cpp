#include "command.h"
#include "package_builder.h"
#include "progress_bar.h"
#include "paths.h"

#include <cstdio>
#include <string>

namespace {

int run_pack(const parsed_args& args)
{
    const std::string out = args.value("-o", "");
    if (out.empty())
        throw usage_error("missing -o FILE.brp");
    progress_bar bar(stderr);
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
        pack_directory(args.positional[0], out, report);
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
    return exit_ok;
}

} // namespace

extern const command pack_command = {
    "pack",
    "build a package from a directory",
    "Usage: brv pack DIR -o FILE.brp\n"
    "\n"
    "Packs every regular file under DIR (names relative to DIR) into a new\n"
    "package. The same directory always gives the same bytes. The package\n"
    "appears under its name only once it is complete.\n"
    "\n"
    "  -o FILE.brp  the package to write (replaced when it exists)\n"
    "  -v           write log lines to stderr\n",
    {{"-o", true}},
    1,
    1,
    run_pack,
};
