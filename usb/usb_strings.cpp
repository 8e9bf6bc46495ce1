#include "usb.h"
#include "usb_table.h"

#include "log.h"

#include <libusb.h>

#include <cerrno>

namespace {

enum class which_string { manufacturer, product, serial };

bool get_string(int handle, which_string which, char* out)
{
    if (!out) {
        errno = EINVAL;
        return false;
    }
    out[0] = '\0';
    usb_slot* s = usb_slot_at(handle);
    if (!s) {
        errno = EBADF;
        return false;
    }
    libusb_device_descriptor d;
    const int r = libusb_get_device_descriptor(libusb_get_device(s->device), &d);
    if (r < 0) {
        errno = usb_error_to_errno(r);
        return false;
    }
    const std::uint8_t index = which == which_string::manufacturer ? d.iManufacturer
                               : which == which_string::product    ? d.iProduct
                                                                   : d.iSerialNumber;
    if (index == 0) {  // the device declares no such string
        errno = ENOENT;
        return false;
    }
    // One byte is kept back for the terminator: a full-length string must not
    // end past the caller's 256 bytes.
    const int n = libusb_get_string_descriptor_ascii(s->device, index, reinterpret_cast<unsigned char*>(out),
                                                     static_cast<int>(usb_string_size - 1));
    if (n <= 0) {
        out[0] = '\0';
        errno = n < 0 ? usb_error_to_errno(n) : ENOENT;
        return false;
    }
    out[n] = '\0';
    errno = 0;
    return true;
}

} // namespace

bool usb_get_manufacturer(int handle, char* out)
{
    return get_string(handle, which_string::manufacturer, out);
}

bool usb_get_product(int handle, char* out)
{
    return get_string(handle, which_string::product, out);
}

bool usb_get_serial(int handle, char* out)
{
    if (!usb_slot_at(handle))
        log_error("usb_get_serial: bad file\n");
    return get_string(handle, which_string::serial, out);
}
