#include "command.h"
#include "interrupt.h"
#include "package_open.h"
#include "progress_bar.h"
#include "usb.h"
#include "verify_package.h"
#include "background_verification.h"
#include "brp_source.h"
#include "flash.h"
#include "flash_all.h"
#include "flash_args.h"
#include "flash_report.h"
#include "handset_args.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The options every handset's flash shares, from the command line.
flash_options options_from(const parsed_args& args)
{
    flash_options options = flash_options_from(args);
    options.backup_dir = args.value("--backup", "");
    if (args.has("--backup") && options.backup_dir.empty())
        throw usage_error("--backup needs a directory");
    return options;
}

int run_flash(const parsed_args& args)
{
    flash_options options = options_from(args);
    if (args.has("--all")) {
        if (args.has("--serial") || args.has("--port"))
            throw usage_error("--all flashes every attached handset; it takes no --serial or --port");
        return flash_every_handset(args.positional[0], options);
    }
    options.handset = handset_choice_from(args);
    const bool no_write = options.no_write;
    const std::string& path = args.positional[0];

    fwpkg pkg;
    open_package(pkg, path);
    // The digests are verified on a second reader of the same file while the
    // flash reads every image through its CRC; the handset hears nothing until
    // both passes have succeeded.
    background_verification verification(path);
    options.before_handset = [&verification] { verification.require_success(); };

    std::printf("Flashing %s%s\n", pkg.device_display_name().c_str(), no_write ? " (no write)" : "");
    std::fflush(stdout);
    progress_bar bar(stderr);
    interrupt_cancels interrupt(pkg.cancellation());
    options.cancel = &pkg.cancellation();
    try {
        brp_source source(pkg);
        const handset_handle handset(open_chosen_handset(options.handset));
        const attached_handset who = describe_open_handset(handset.get());
        json_out::start({{"package", path}, {"handset", flash_report::handset_json(who)},
                         {"options", flash_options_json(options)}});
        flash_report report(who, path);
        report.observe(options);
        report.run([&] { flash_handset(source, handset.get(), report.progress(bar), options); }, &pkg.cancellation());
    } catch (const std::exception&) {
        if (!verification.failed())
            throw;
        json_out::failure(path + ": verification failed (" + verification.failure() + "), nothing was written",
                          "digests");
        return exit_failed;
    }
    if (interrupt.interrupted()) {
        // The handset was reset cleanly, but not everything asked for was written.
        json_out::failure(cancelled_flash_text, "cancelled");
        return exit_failed;
    }
    std::printf("Succeeded\n");
    return exit_ok;
}

} // namespace

extern const command flash_command = {
    "flash",
    "write a package to a handset in emergency-download mode",
    "Usage: brv flash FILE.brp [--type full|keep-data|base-only] [--no-write]\n"
    "                 [--verify] [--backup DIR] [--serial S | --port BUS-PORTS | --all]\n"
    "                 [--max-payload SIZE] [--sector-writes]\n"
    "\n"
    "Verifies the package (and refuses one that fails), opens the one handset\n"
    "attached in emergency-download mode (USB 05c6:9008), uploads the package's\n"
    "flash programmer, writes the partitions and resets the handset.\n"
    "\n"
    "  --type full       base and OS partitions (default)\n"
    "  --type keep-data  like full, but leaves the userdata partition alone\n"
    "  --type base-only  base partitions and the partition table only\n"
    "  --no-write        dry run: the programmer is asked to skip every write\n"
    "  --verify          read every partition back right after writing it and\n"
    "                    compare (SHA-256); a difference stops the flash\n"
    "  --backup DIR      first save every partition the flash will write as\n"
    "                    DIR/LABEL.img (DIR must not hold those files yet)\n"
    "  --serial S        the handset whose USB serial number is S (see brv devices)\n"
    "  --port BUS-PORTS  the handset at that USB port, e.g. 1-2 (see brv devices)\n"
    "  --all             flash every attached handset at once; progress lines\n"
    "                    start with the handset's port, a table ends the run, and\n"
    "                    the exit status is 0 only when every handset succeeded\n"
    "                    (with --backup, each handset's files go to DIR/SERIAL,\n"
    "                    or DIR/port-BUS-PORTS for a handset without a serial)\n"
    "  --max-payload N   bytes per raw write proposed to the programmer (default 1M;\n"
    "                    16384 gives the classic configure); K and M suffixes\n"
    "  --sector-writes   send the raw data one sector per USB write (slow; for\n"
    "                    programmers that need it)\n"
    "  -v                write log lines to stderr\n"
    "\n"
    "Ctrl-C stops before the next OS partition and still resets the handset\n"
    "(exit status 1); a second Ctrl-C ends brv at once.\n",
    [] {
        std::vector<option_def> options = flash_how_options();
        options.insert(options.end(), {{"--backup", true}, serial_option, port_option, {"--all", false}});
        return options;
    }(),
    1,
    1,
    run_flash,
    ", or flash them all with --all",
};
