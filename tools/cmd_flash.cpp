#include "command.h"
#include "interrupt.h"
#include "package_open.h"
#include "progress_bar.h"
#include "usb.h"
#include "verify_package.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct flash_type_name {
    const char* name;
    flash_type type;
};

constexpr flash_type_name flash_types[] = {
    {"full", full},
    {"keep-data", keep_data},
    {"base-only", base_only},
};

flash_type parse_flash_type(const std::string& text)
{
    for (const flash_type_name& t : flash_types) {
        if (text == t.name)
            return t.type;
    }
    throw usage_error("unknown flash type '" + text + "' (full, keep-data or base-only)");
}

// The device handle is ours from usb_open_vidpid until this ends.
class open_device {
public:
    explicit open_device(int handle) : handle_(handle) {}
    open_device(const open_device&) = delete;
    open_device& operator=(const open_device&) = delete;
    ~open_device() { usb_close(handle_); }
    int handle() const { return handle_; }

private:
    int handle_;
};

void report_open_failure(int error)
{
    if (error == EACCES) {
        std::fprintf(stderr,
                     "Cannot open device: permission denied.\n"
                     "Install the udev rule packaging/51-brenvik.rules (see the README), then\n"
                     "unplug and reconnect the handset.\n");
        return;
    }
    std::fprintf(stderr, "Cannot open device\n");
}

int run_flash(const parsed_args& args)
{
    const flash_type type = parse_flash_type(args.value("--type", "full"));
    const bool no_write = args.has("--no-write");
    const std::string& path = args.positional[0];

    fwpkg pkg;
    open_package(pkg, path);
    if (!verify_package(pkg)) {
        std::fprintf(stderr, "%s: verification failed, nothing was written\n", path.c_str());
        return exit_failed;
    }

    if (!usb_init()) {
        std::fprintf(stderr, "Cannot open device: %s\n", std::strerror(errno));
        return exit_failed;
    }
    const int handle = usb_open_vidpid(edl_vidpid, true);
    if (handle < 0) {
        report_open_failure(errno);
        return exit_failed;
    }
    open_device device(handle);

    std::printf("Flashing %s%s\n", pkg.device_display_name().c_str(), no_write ? " (no write)" : "");
    std::fflush(stdout);
    progress_bar bar(stderr);
    interrupt_cancels interrupt(pkg);
    try {
        pkg.flash(device.handle(), bar, no_write, type);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return exit_failed;
    }
    if (interrupt.interrupted()) {
        // The handset was reset cleanly, but not everything asked for was written.
        std::fprintf(stderr, "Cancelled: the remaining OS partitions were not written\n");
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
    "\n"
    "Verifies the package (and refuses one that fails), opens the one handset\n"
    "attached in emergency-download mode (USB 05c6:9008), uploads the package's\n"
    "flash programmer, writes the partitions and resets the handset.\n"
    "\n"
    "  --type full       base and OS partitions (default)\n"
    "  --type keep-data  like full, but leaves the userdata partition alone\n"
    "  --type base-only  base partitions and the partition table only\n"
    "  --no-write        dry run: the programmer is asked to skip every write\n"
    "  -v                write log lines to stderr\n"
    "\n"
    "Ctrl-C stops before the next OS partition and still resets the handset\n"
    "(exit status 1); a second Ctrl-C ends brv at once.\n",
    {{"--type", true}, {"--no-write", false}},
    1,
    1,
    run_flash,
};
