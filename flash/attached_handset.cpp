#include "attached_handset.h"

#include "text_names.h"
#include "usb.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

// The attached emergency-download devices; the list owns its references.
class edl_devices {
public:
    edl_devices()
    {
        const usb_vidpid_t ids[] = {edl_identity, {0, 0}};
        if (!usb_init() || !usb_get_devices(&list_))
            throw std::runtime_error(std::string("Cannot list USB devices: ") + std::strerror(errno));
        if (!usb_filter_vidpid(&list_, ids) && errno != ENODEV)
            throw std::runtime_error(std::string("Cannot list USB devices: ") + std::strerror(errno));
    }
    edl_devices(const edl_devices&) = delete;
    edl_devices& operator=(const edl_devices&) = delete;
    ~edl_devices() { usb_free_devices(list_); }
    usb_device_list get() const { return list_; }

private:
    usb_device_list list_ = nullptr;
};

attached_handset describe(libusb_device* device, bool with_serial)
{
    attached_handset h;
    char port[usb_port_path_size];
    usb_port_path(device, port, sizeof port);
    h.port = port;
    const usb_location where = usb_device_location(device);
    h.bus = where.bus;
    h.port_number = where.port;
    h.address = where.address;
    if (with_serial) {
        char serial[usb_string_size];
        if (usb_device_serial(device, serial))
            h.serial = serial;
    }
    return h;
}

std::string attached_list(const std::vector<attached_handset>& handsets)
{
    if (handsets.empty())
        return "none";
    std::string text;
    for (const attached_handset& h : handsets)
        text += (text.empty() ? "" : ", ") + describe_handset(h);
    return text;
}

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

std::string describe_handset(const attached_handset& handset)
{
    return "port " + handset.port + (handset.serial.empty() ? "" : " (serial " + printable_name(handset.serial) + ")");
}

several_handsets::several_handsets(std::vector<attached_handset> handsets)
    : std::runtime_error(open_failure_text(ENOTUNIQ)), handsets_(std::move(handsets))
{
}

std::vector<attached_handset> list_handsets()
{
    const edl_devices devices;
    std::vector<attached_handset> out;
    for (usb_device_list d = devices.get(); *d; ++d)
        out.push_back(describe(*d, true));
    return out;
}

attached_handset describe_open_handset(int handle)
{
    attached_handset h = describe(usb_handle_device(handle), false);
    char serial[usb_string_size];
    if (usb_get_serial(handle, serial))
        h.serial = serial;
    return h;
}

handset_handle::~handset_handle()
{
    usb_close(handle_);
}

int open_chosen_handset(const handset_choice& choice)
{
    if (choice.serial.empty() && choice.port.empty()) {
        if (!usb_init())
            throw std::runtime_error(open_failure_text(errno));
        const int handle = usb_open_vidpid(edl_vidpid, true);
        if (handle >= 0)
            return handle;
        if (errno == ENOTUNIQ)
            throw several_handsets(list_handsets());
        throw std::runtime_error(open_failure_text(errno));
    }

    // A port is known without opening anything; a serial string is read from
    // each device in turn. Serials are not unique everywhere: every device is
    // looked at, and a choice that fits more than one opens none.
    const edl_devices devices;
    std::vector<attached_handset> seen;
    std::vector<attached_handset> matching;
    libusb_device* chosen = nullptr;
    for (usb_device_list d = devices.get(); *d; ++d) {
        attached_handset h = describe(*d, !choice.serial.empty());
        if ((choice.port.empty() || h.port == choice.port) && (choice.serial.empty() || h.serial == choice.serial)) {
            chosen = *d;
            matching.push_back(h);
        }
        seen.push_back(std::move(h));
    }
    const std::string wanted = !choice.serial.empty() && !choice.port.empty()
                                   ? "serial " + printable_name(choice.serial) + " at port " + choice.port
                               : !choice.serial.empty() ? "serial " + printable_name(choice.serial)
                                                        : "port " + choice.port;
    if (matching.size() > 1)
        throw std::runtime_error("Cannot open device: " + std::to_string(matching.size()) + " handsets with " + wanted +
                                 " are attached (" + attached_list(matching) +
                                 "); choose one with --port. Nothing was sent to any of them.");
    if (chosen != nullptr) {
        const int handle = usb_open(chosen);
        if (handle < 0)
            throw std::runtime_error(open_failure_text(errno));
        return handle;
    }
    throw std::runtime_error("Cannot open device: no handset with " + wanted +
                             " is attached in emergency-download mode (attached: " + attached_list(seen) + ").");
}
