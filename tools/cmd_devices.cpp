#include "command.h"
#include "usb.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t description_size = 64;

// Owns a device list from usb_get_devices.
class device_list {
public:
    device_list() = default;
    device_list(const device_list&) = delete;
    device_list& operator=(const device_list&) = delete;
    ~device_list()
    {
        if (list_)
            usb_free_devices(list_);
    }
    usb_device_list* out() { return &list_; }
    usb_device_list get() const { return list_; }

private:
    usb_device_list list_ = nullptr;
};

int run_devices(const parsed_args&)
{
    device_list devices;
    const usb_vidpid_t edl_ids[] = {edl_identity, {0, 0}};
    if (!usb_init() || !usb_get_devices(devices.out()) || !usb_filter_vidpid(devices.out(), edl_ids)) {
        std::fprintf(stderr, "Cannot list USB devices: %s\n", std::strerror(errno));
        return exit_failed;
    }
    for (usb_device_list d = devices.get(); *d; ++d) {
        char text[description_size];
        usb_describe_device(*d, text, sizeof text);
        std::printf("%s\n", text);
    }
    return exit_ok;
}

} // namespace

extern const command devices_command = {
    "devices",
    "list handsets in emergency-download mode",
    "Usage: brv devices\n"
    "\n"
    "Prints one line per attached handset in emergency-download mode\n"
    "(USB 05c6:9008): bus:port:address (vendor:product).\n",
    {},
    0,
    0,
    run_devices,
};
