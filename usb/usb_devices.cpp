#include "usb.h"

#include <libusb.h>

#include <cerrno>
#include <cstdio>
#include <new>

namespace {

std::size_t list_length(usb_device_list list)
{
    std::size_t n = 0;
    while (list[n])
        ++n;
    return n;
}

// Keeps the devices `keep` accepts, in list order, and releases the others.
template <typename Predicate>
bool filter_list(usb_device_list* list, Predicate keep)
{
    if (!list || !*list) {
        errno = EINVAL;
        return false;
    }
    usb_device_list old = *list;
    const std::size_t n = list_length(old);
    usb_device_list kept = new (std::nothrow) libusb_device*[n + 1];
    if (!kept) {
        errno = ENOMEM;
        return false;
    }
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (keep(old[i]))
            kept[count++] = old[i];
        else
            libusb_unref_device(old[i]);
    }
    kept[count] = nullptr;
    delete[] old;
    *list = kept;
    errno = count > 0 ? 0 : ENODEV;
    return count > 0;
}

} // namespace

bool usb_get_devices(usb_device_list* list)
{
    if (!list) {
        errno = EINVAL;
        return false;
    }
    if (!usb_init())
        return false;
    libusb_device** raw = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &raw);
    if (n < 0) {
        errno = usb_error_to_errno(static_cast<int>(n));
        return false;
    }
    usb_device_list copy = new (std::nothrow) libusb_device*[static_cast<std::size_t>(n) + 1];
    if (!copy) {
        libusb_free_device_list(raw, 1);
        errno = ENOMEM;
        return false;
    }
    for (ssize_t i = 0; i < n; ++i)
        copy[i] = raw[i];
    copy[n] = nullptr;
    // The references move to our list.
    libusb_free_device_list(raw, 0);
    *list = copy;
    errno = 0;
    return true;
}

void usb_free_devices(usb_device_list list)
{
    if (!list)
        return;
    for (std::size_t i = 0; list[i]; ++i)
        libusb_unref_device(list[i]);
    delete[] list;
}

usb_device_list_guard::~usb_device_list_guard()
{
    const int saved = errno;
    usb_free_devices(list_);
    list_ = nullptr;
    errno = saved;
}

bool usb_filter_vidpid(usb_device_list* list, const usb_vidpid_t* ids)
{
    if (!ids) {
        errno = EINVAL;
        return false;
    }
    return filter_list(list, [ids](libusb_device* device) {
        libusb_device_descriptor d;
        if (libusb_get_device_descriptor(device, &d) < 0)
            return false;
        for (const usb_vidpid_t* id = ids; id->vid != 0 && id->pid != 0; ++id) {
            if (d.idVendor == id->vid && d.idProduct == id->pid)
                return true;
        }
        return false;
    });
}

bool usb_filter_location(usb_device_list* list, const usb_location* locations)
{
    if (!locations) {
        errno = EINVAL;
        return false;
    }
    return filter_list(list, [locations](libusb_device* device) {
        const usb_location here = usb_device_location(device);
        for (const usb_location* l = locations; l->bus != 0 || l->port != 0 || l->address != 0; ++l) {
            if ((l->bus == 0 || l->bus == here.bus) && (l->port == 0 || l->port == here.port) &&
                (l->address == 0 || l->address == here.address))
                return true;
        }
        return false;
    });
}

std::uint32_t usb_device_vidpid(libusb_device* device)
{
    libusb_device_descriptor d;
    if (!device || libusb_get_device_descriptor(device, &d) < 0)
        return 0;
    return usb_pack_vidpid(d.idVendor, d.idProduct);
}

usb_location usb_device_location(libusb_device* device)
{
    if (!device)
        return {};
    return {libusb_get_bus_number(device), libusb_get_port_number(device), libusb_get_device_address(device)};
}

void usb_describe_device(libusb_device* device, char* out, std::size_t out_size)
{
    if (!out || out_size == 0)
        return;
    const usb_location l = usb_device_location(device);
    const std::uint32_t id = usb_device_vidpid(device);
    std::snprintf(out, out_size, "%u:%u:%u (%04hx:%04hx)", unsigned{l.bus}, unsigned{l.port}, unsigned{l.address},
                  usb_packed_vid(id), usb_packed_pid(id));
}

void usb_port_path(libusb_device* device, char* out, std::size_t out_size)
{
    if (!out || out_size == 0)
        return;
    // USB 3 allows hub chains of at most 7 levels.
    std::uint8_t ports[7];
    const int n = device ? libusb_get_port_numbers(device, ports, static_cast<int>(sizeof ports)) : 0;
    int used = std::snprintf(out, out_size, "%u-", device ? unsigned{libusb_get_bus_number(device)} : 0u);
    if (used < 0 || static_cast<std::size_t>(used) >= out_size)
        return;
    if (n <= 0) {
        std::snprintf(out + used, out_size - static_cast<std::size_t>(used), "0");
        return;
    }
    for (int i = 0; i < n && used >= 0 && static_cast<std::size_t>(used) < out_size; ++i)
        used += std::snprintf(out + used, out_size - static_cast<std::size_t>(used), i == 0 ? "%u" : ".%u",
                              unsigned{ports[i]});
}

bool usb_device_serial(libusb_device* device, char* out)
{
    if (!out) {
        errno = EINVAL;
        return false;
    }
    out[0] = '\0';
    const int handle = usb_open(device);
    if (handle < 0)
        return false;
    const bool ok = usb_get_serial(handle, out);
    const int saved = errno;
    usb_close(handle);
    errno = saved;
    return ok;
}
