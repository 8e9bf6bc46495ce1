// The emulated handsets as the kernel's sysfs shows USB devices.
//
// Some libusb programs do not ask the device for its strings: lsusb, for one,
// reads /sys/bus/usb/devices/<bus>-<port>/manufacturer (and product, serial)
// instead. While this library stands in for the USB bus, those paths answer for
// the emulated handsets as the kernel would for real ones; every other open()
// goes straight to the C library.
#include "bus.h"
#include "descriptors.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace vhandset {
namespace {

constexpr char devices_dir[] = "/sys/bus/usb/devices/";

using open_fn = int (*)(const char*, int, ...);

open_fn real_open()
{
    static const auto fn = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
    return fn;
}

// A string descriptor's text: UTF-16LE code units after the two header bytes,
// shown as ASCII the way the kernel does for plain text.
std::string descriptor_text(const bytes& descriptor)
{
    std::string text;
    for (std::size_t i = 2; i + 1 < descriptor.size(); i += 2)
        text += descriptor[i + 1] == 0 && descriptor[i] < 0x80 ? static_cast<char>(descriptor[i]) : '?';
    return text;
}

// The attribute's text for "<bus>-<port>/<name>", or false when the path names
// no attribute of an attached emulated handset.
bool attribute_text(const char* rest, std::string& text)
{
    unsigned bus_no = 0, port_no = 0;
    char name[32] = {};
    if (std::sscanf(rest, "%u-%u/%31s", &bus_no, &port_no, name) != 3)
        return false;
    std::uint8_t index;
    if (std::strcmp(name, "manufacturer") == 0)
        index = manufacturer_index;
    else if (std::strcmp(name, "product") == 0)
        index = product_index;
    else if (std::strcmp(name, "serial") == 0)
        index = serial_index;
    else
        return false;
    for (const auto& d : bus::instance().attached()) {
        if (d->bus_number() != bus_no || d->port_number() != port_no)
            continue;
        const auto& strings = d->descriptors().strings;
        if (index >= strings.size())
            return false;
        text = descriptor_text(strings[index]) + "\n";
        return true;
    }
    return false;
}

int open_text(const std::string& text)
{
    const int fd = memfd_create("vhandset-sysfs", MFD_CLOEXEC);
    if (fd == -1)
        return -1;
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || lseek(fd, 0, SEEK_SET) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

} // namespace
} // namespace vhandset

extern "C" __attribute__((visibility("default"))) int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    constexpr std::size_t prefix = sizeof vhandset::devices_dir - 1;
    if (std::strncmp(path, vhandset::devices_dir, prefix) == 0 && (flags & O_ACCMODE) == O_RDONLY) {
        std::string text;
        if (vhandset::attribute_text(path + prefix, text))
            return vhandset::open_text(text);
    }
    const auto real = vhandset::real_open();
    if (real == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return real(path, flags, mode);
}
