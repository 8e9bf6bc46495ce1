#include "command.h"
#include "firmware_args.h"
#include "flash_args.h"
#include "station.h"

namespace {

int run_station_command(const parsed_args& args)
{
    station_settings settings;
    settings.source = args.positional[0];
    settings.folder = folder_options_from(args, settings.source);
    settings.options = flash_options_from(args);
    settings.extra_keys = args.all("--key");
    settings.allow_unsigned = args.has("--allow-unsigned");
    settings.log_path = args.value("--log", "");
    if (args.has("--log") && settings.log_path.empty())
        throw usage_error("--log needs a file");
    if (args.has("--poll"))
        settings.watch = usb_device_watch::method::polling;
    return run_station(settings);
}

} // namespace

extern const command station_command = {
    "station",
    "flash one package onto every handset plugged in, one after another",
    "Usage: brv station SOURCE [--log FILE] [--type full|keep-data|base-only]\n"
    "                   [--no-write] [--verify] [--skip-identical] [--max-payload SIZE]\n"
    "                   [--sector-writes] [--programmer-wait MS|auto]\n"
    "                   [--key PUB]... [--allow-unsigned] [--poll] [--json]\n"
    "\n"
    "A flashing station for a repair bench or a factory line. Verifies the\n"
    "package (or checks the folder) once, then waits for handsets in emergency-download mode (USB\n"
    "05c6:9008) and flashes each one as it is plugged in, several at once, each\n"
    "on its own. A handset is flashed once per plug: one that stays attached\n"
    "after its flash (or after a failed one) is not flashed again until it is\n"
    "unplugged and comes back.\n"
    "\n"
    "Every flash ends in a line on stdout: start time, port, serial, duration,\n"
    "bytes written, and \"Succeeded\" or \"FAILED\" with the reason (with --json\n"
    "a \"result\" event instead). Progress goes to stderr, one line per phase\n"
    "prefixed with the handset's port.\n"
    "\n"
    "  --log FILE        also append every result to FILE as a JSON line (the\n"
    "                    \"result\" event of --json); created when missing\n"
    "  --poll            look at the bus twice a second instead of using USB\n"
    "                    hot-plug notification (used anyway where the platform\n"
    "                    has none)\n"
    "  --type, --no-write, --verify, --skip-identical, --max-payload,\n"
    "  --sector-writes, --programmer-wait\n"
    "                    as for brv flash, for every handset\n"
    "  --key PUB         also trust this minisign public key (may be repeated)\n"
    "  --allow-unsigned  with trusted keys configured, flash firmware no trusted\n"
    "                    key signed anyway, with a warning\n"
    "  --json            JSON Lines on stdout (see brv(1))\n"
    "\n"
    "Ctrl-C (or SIGTERM) stops taking new handsets, lets the running flashes\n"
    "finish and prints a summary: how many were flashed and failed, and the\n"
    "failures by reason. A second Ctrl-C cancels the running flashes as brv\n"
    "flash does (the remaining OS partitions are skipped, the handsets reset);\n"
    "a third ends brv at once. Exit status 0 only when no flash failed.\n"
    "\n" BRV_FIRMWARE_HELP,
    [] {
        std::vector<option_def> options = flash_how_options();
        options.insert(options.end(),
                       {{"--log", true}, {"--poll", false}, {"--key", true, true}, {"--allow-unsigned", false}});
        return with_firmware_options(options);
    }(),
    1,
    1,
    run_station_command,
};
