#include "flash_handset.h"

#include "usb.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

// The device handle is ours from the open until the scope ends.
class open_handset {
public:
    explicit open_handset(int handle) : handle_(handle) {}
    open_handset(const open_handset&) = delete;
    open_handset& operator=(const open_handset&) = delete;
    ~open_handset() { usb_close(handle_); }
    int handle() const { return handle_; }

private:
    int handle_;
};

} // namespace

std::string open_failure_text(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return "Cannot open device: permission denied. Install the udev rule 51-brenvik.rules "
               "(the Debian package puts it in /lib/udev/rules.d; from the sources see packaging/README.md), "
               "then unplug and reconnect the handset.";
    case ENODEV:
        return "Cannot open device: no handset in emergency-download mode (USB 05c6:9008) is attached.";
    case ENOTUNIQ:
        return "Cannot open device: more than one handset in emergency-download mode is attached; "
               "leave only one connected.";
    case EBUSY:
        return "Cannot open device: another program holds the handset (a modem manager or another flasher); "
               "close it and try again.";
    default:
        return std::string("Cannot open device: ") + std::strerror(error);
    }
}

void flash_attached_handset(fwpkg& package, progress_handler& handler, const flash_options& options)
{
    if (!usb_init())
        throw std::runtime_error(open_failure_text(errno));
    const int handle = usb_open_vidpid(edl_vidpid, true);
    if (handle < 0)
        throw std::runtime_error(open_failure_text(errno));
    const open_handset handset(handle);
    package.flash(handset.handle(), handler, options);
}
