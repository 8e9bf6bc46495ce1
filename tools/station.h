// brv station: one package flashed onto handset after handset as they are
// plugged in, for a repair bench or a factory line.
#pragma once

#include "flash_options.h"
#include "folder_source.h"
#include "usb_watch.h"

#include <string>
#include <vector>

struct station_settings {
    std::string source;     // a .brp package, or a maker's firmware folder
    folder_options folder;  // how the folder is read, for a folder
    flash_options options;  // how every handset is flashed (no handset choice, no backup)
    std::string log_path;   // results appended here as JSON Lines; empty: none
    usb_device_watch::method watch = usb_device_watch::method::automatic;
    // Trusted keys beyond the default folders; with any trusted key, firmware
    // no trusted key signed is refused unless allow_unsigned (then a warning).
    std::vector<std::string> extra_keys;
    bool allow_unsigned = false;
};

// Verifies the package (digests, and its signer when trusted keys are
// configured) or checks the folder once, then waits: each handset in emergency-download
// mode that appears is flashed on a thread of its own, once per plug (one that
// stays attached after its flash waits until it is unplugged and comes back).
// Each result is a line on stdout (JSON with --json) and a JSON line appended
// to the log. The first SIGINT or SIGTERM stops taking handsets and lets the
// running flashes finish; the second cancels them as `brv flash` cancels (the
// remaining OS partitions are skipped, the handset still reset); a third ends
// the program. Prints a summary; returns 0 when no flash failed, else 1.
// Throws std::runtime_error when the firmware or the log cannot be opened, a
// trusted key cannot be read, or USB cannot be watched.
int run_station(const station_settings& settings);
