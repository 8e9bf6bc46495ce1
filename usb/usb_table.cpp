#include "usb.h"
#include "usb_table.h"

#include <libusb.h>

#include <cerrno>

namespace {

usb_slot table[usb_max_devices];

} // namespace

usb_slot* usb_slot_at(int handle)
{
    if (handle < 0 || handle >= usb_max_devices || !table[handle].device)
        return nullptr;
    return &table[handle];
}

usb_pipe_record* usb_pipe_at(int handle, int pipe)
{
    usb_slot* s = usb_slot_at(handle);
    if (!s || pipe < 0 || pipe >= usb_max_pipes || !s->pipes[pipe].in_use())
        return nullptr;
    return &s->pipes[pipe];
}

int usb_open(libusb_device* device)
{
    if (!device) {
        errno = EINVAL;
        return -1;
    }
    if (!usb_init())
        return -1;
    int handle = 0;
    while (handle < usb_max_devices && table[handle].device)
        ++handle;
    if (handle == usb_max_devices) {
        errno = EMFILE;
        return -1;
    }
    usb_slot& s = table[handle];
    s = usb_slot{};
    const int r = libusb_open(device, &s.device);
    if (r < 0) {
        s.device = nullptr;
        errno = usb_error_to_errno(r);
        return -1;
    }
    // Not every platform can detach kernel drivers; the claim itself decides.
    libusb_set_auto_detach_kernel_driver(s.device, 1);
    errno = 0;
    return handle;
}

int usb_open_vidpid(std::uint32_t packed_vidpid, bool exclusive)
{
    const usb_vidpid_t ids[] = {{usb_packed_vid(packed_vidpid), usb_packed_pid(packed_vidpid)}, {0, 0}};
    usb_device_list list = nullptr;
    if (!usb_get_devices(&list))
        return -1;
    usb_device_list_guard release(list);
    if (!usb_filter_vidpid(&list, ids)) {
        errno = ENODEV;
        return -1;
    }
    if (exclusive && list[1]) {
        errno = ENOTUNIQ;
        return -1;
    }
    // libusb_open takes its own reference: the list may go once this returns.
    return usb_open(list[0]);
}

libusb_device* usb_handle_device(int handle)
{
    usb_slot* s = usb_slot_at(handle);
    if (!s) {
        errno = EBADF;
        return nullptr;
    }
    return libusb_get_device(s->device);
}

void usb_close(int handle)
{
    if (handle == -1)
        return;
    usb_slot* s = usb_slot_at(handle);
    if (!s) {
        errno = EBADF;
        return;
    }
    for (int pipe = 0; pipe < usb_max_pipes; ++pipe)
        usb_close_pipe(handle, pipe);
    libusb_close(s->device);
    *s = usb_slot{};
    errno = 0;
}

void usb_close_all()
{
    for (int handle = 0; handle < usb_max_devices; ++handle) {
        if (table[handle].device)
            usb_close(handle);
    }
}
