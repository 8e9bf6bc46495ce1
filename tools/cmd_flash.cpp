#include "command.h"
#include "interrupt.h"
#include "package_open.h"
#include "progress_bar.h"
#include "usb.h"
#include "verify_package.h"
#include "background_verification.h"
#include "brp_source.h"
#include "flash.h"
#include "firmware_args.h"
#include "firmware_open.h"
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

// What --skip-identical left out, or why it could not.
void print_identical(const flash_result& result, bool asked)
{
    if (result.identical_unavailable) {
        std::printf("--skip-identical: the programmer cannot hash what the handset holds (no getsha256digest); "
                    "every partition was written\n");
        return;
    }
    if (!asked)
        return;
    if (result.identical.empty()) {
        std::printf("Skipped nothing: no partition on the handset equals its image\n");
        return;
    }
    std::string labels;
    for (const std::string& label : result.identical)
        labels += (labels.empty() ? "" : ", ") + label;
    std::printf("Skipped %zu partition%s already on the handset (%.1f MiB): %s\n", result.identical.size(),
                result.identical.size() == 1 ? "" : "s", static_cast<double>(result.identical_bytes) / 1048576.0,
                labels.c_str());
}

// Flashes the source onto the chosen handset, Ctrl-C cancelling the rest of
// the OS partitions, with its result reported as for every handset; returns
// the exit status.
int flash_with_interrupt(firmware_source& source, const std::string& source_name, flash_options options,
                         cancel_request& cancel)
{
    progress_bar bar(stderr);
    interrupt_cancels interrupt(cancel);
    options.cancel = &cancel;
    const handset_handle handset(open_chosen_handset(options.handset));
    const attached_handset who = describe_open_handset(handset.get());
    json_out::start({{"package", source_name}, {"handset", flash_report::handset_json(who)},
                     {"options", flash_options_json(options)}});
    flash_report report(who, source_name);
    report.observe(options);
    const flash_result result =
        report.run([&] { return flash_handset(source, handset.get(), report.progress(bar), options); });
    if (result.skipped != 0) {
        // The handset was reset cleanly, but not everything asked for was written.
        json_out::failure(skipped_text(result), "cancelled");
        return exit_failed;
    }
    print_identical(result, options.skip_identical);
    std::printf("Succeeded\n");
    return exit_ok;
}

const char* dry_run_note(const flash_options& options)
{
    return options.no_write ? " (no write)" : "";
}

int run_flash(const parsed_args& args)
{
    flash_options options = options_from(args);
    const std::string& path = args.positional[0];
    const folder_options folder = folder_options_from(args, path);
    const bool allow_unsigned = args.has("--allow-unsigned");
    if (is_firmware_folder(path)) {
        if (args.has("--all"))
            throw usage_error("--all flashes a .brp package; pack the folder first (brv pack)");
        options.handset = handset_choice_from(args);
        std::string warning;
        try {
            warning = require_trusted_folder(package_trust(args.all("--key")), allow_unsigned);
        } catch (const std::exception& e) {
            json_out::failure(std::string(e.what()) + "; pack and sign it (brv pack, brv sign), or give "
                              "--allow-unsigned. Nothing was written to the handset.",
                              "signature");
            return exit_failed;
        }
        if (!warning.empty())
            std::fprintf(stderr, "%s\n", warning.c_str());
        folder_source source(path, folder);
        std::printf("Flashing the folder %s%s\n", path.c_str(), dry_run_note(options));
        std::fflush(stdout);
        cancel_request cancel;
        return flash_with_interrupt(source, path, options, cancel);
    }
    if (args.has("--all")) {
        if (args.has("--serial") || args.has("--port"))
            throw usage_error("--all flashes every attached handset; it takes no --serial or --port");
        return flash_every_handset(path, options, args.all("--key"), allow_unsigned);
    }
    options.handset = handset_choice_from(args);

    // A broken trusted-key file stops the flash before anything is read.
    package_trust trust(args.all("--key"));
    fwpkg pkg;
    open_package(pkg, path);
    // Says what the package lacks (its metadata, an archive) before anything else.
    brp_source source(pkg);
    // The digests (and the signature) are verified on a second reader of the
    // same file while the flash reads every image through its CRC and the
    // programmer is uploaded; nothing is written until both passes have
    // succeeded. With trusted keys configured, the package's programmer is not
    // sent before its signer is known.
    background_verification verification(path, trust);
    auto verified = [&verification, allow_unsigned] { verification.require_success(allow_unsigned); };
    if (trust.keys_configured())
        options.before_handset = verified;
    else
        options.before_first_write = verified;

    std::printf("Flashing %s%s\n", pkg.device_display_name().c_str(), dry_run_note(options));
    std::fflush(stdout);
    try {
        return flash_with_interrupt(source, path, options, pkg.cancellation());
    } catch (const std::exception&) {
        if (!verification.failed())
            throw;
        json_out::failure(path + ": verification failed (" + verification.failure() + "), nothing was written",
                          "digests");
        return exit_failed;
    }
}

} // namespace

extern const command flash_command = {
    "flash",
    "write a package to a handset in emergency-download mode",
    "Usage: brv flash SOURCE [--type full|keep-data|base-only] [--no-write]\n"
    "                 [--verify] [--skip-identical] [--backup DIR]\n"
    "                 [--serial S | --port BUS-PORTS | --all]\n"
    "                 [--max-payload SIZE] [--sector-writes] [--programmer-wait MS|auto]\n"
    "                 [--key PUB]... [--allow-unsigned]\n"
    "\n"
    "Verifies the package (and refuses one that fails), opens the one handset\n"
    "attached in emergency-download mode (USB 05c6:9008), uploads the package's\n"
    "flash programmer, writes the partitions and resets the handset. A folder\n"
    "is flashed the same way (every image it names is checked first; it has no\n"
    "digests to verify). <erase> elements of the program files are carried out\n"
    "in document order among the writes.\n"
    "\n"
    "  --type full       base and OS partitions (default)\n"
    "  --type keep-data  like full, but leaves the userdata partition alone\n"
    "  --type base-only  base partitions and the partition table only\n"
    "  --no-write        dry run: the programmer is asked to skip every write\n"
    "  --verify          check every partition right after writing it: the\n"
    "                    programmer's SHA-256 of it (getsha256digest), or, when it\n"
    "                    offers none or refuses it, a SHA-256 of it read back; a\n"
    "                    difference stops the flash\n"
    "  --skip-identical  ask the programmer for the SHA-256 of each partition (of\n"
    "                    each run of a sparse image) first and leave out those that\n"
    "                    already hold what would be written; needs getsha256digest\n"
    "                    (a partition the programmer refuses to hash is written)\n"
    "  --backup DIR      first save every partition the flash will write as\n"
    "                    DIR/LABEL.img (DIR must not hold those files yet)\n"
    "  --serial S        the handset whose USB serial number is S (see brv devices)\n"
    "  --port BUS-PORTS  the handset at that USB port, e.g. 1-2 (see brv devices)\n"
    "  --all             flash every attached handset at once; progress lines\n"
    "                    start with the handset's port, a table ends the run, and\n"
    "                    the exit status is 0 only when every handset succeeded\n"
    "                    (with --backup, each handset's files go to DIR/SERIAL,\n"
    "                    or DIR/port-BUS-PORTS for a handset without a serial\n"
    "                    or with one another handset shares)\n"
    "  --max-payload N   bytes per raw write proposed to the programmer (default 1M;\n"
    "                    16384 gives the classic configure); K and M suffixes\n"
    "  --sector-writes   send the raw data one sector per USB write (slow; for\n"
    "                    programmers that need it)\n"
    "  --key PUB         also trust this minisign public key (may be repeated)\n"
    "  --allow-unsigned  flash a package that is not signed by a trusted key,\n"
    "                    with a warning (trusted keys: /etc/brenvik/trusted-keys,\n"
    "                    ~/.config/brenvik/trusted-keys and --key; with none,\n"
    "                    packages are not checked for a signer)\n"
    "  --programmer-wait MS  after the programmer upload, pause MS milliseconds\n"
    "                    before speaking to it; auto (default): go on as soon as\n"
    "                    it answers (waiting up to 10 s)\n"
    "  -v                write log lines to stderr\n"
    "\n"
    "Ctrl-C (or SIGTERM) before the first write stops with nothing written;\n"
    "once writing has begun, the base partitions and the partition table are\n"
    "completed, the remaining OS partitions skipped and the handset reset (exit\n"
    "status 1 when anything was skipped). A second Ctrl-C ends brv at once.\n"
    "\n" BRV_FIRMWARE_HELP,
    [] {
        std::vector<option_def> options = flash_how_options();
        options.insert(options.end(), {{"--backup", true}, serial_option, port_option, {"--all", false},
                                       {"--key", true, true}, {"--allow-unsigned", false}});
        return with_firmware_options(options);
    }(),
    1,
    1,
    run_flash,
    ", or flash them all with --all",
};
