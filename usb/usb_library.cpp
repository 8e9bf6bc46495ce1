#include "usb.h"
#include "usb_table.h"

#include <libusb.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex init_mutex;
bool library_ready = false;

// Handles still open at exit are closed first: their receive transfers must
// be given back before the context that runs them goes away.
void usb_exit()
{
    std::lock_guard<std::mutex> lock(init_mutex);
    if (!library_ready)
        return;
    usb_close_all();
    libusb_exit(nullptr);
    library_ready = false;
}

} // namespace

// The detector enumerates on the GUI thread while a worker may open a device,
// so the first use can come from two threads at once.
bool usb_init()
{
    std::lock_guard<std::mutex> lock(init_mutex);
    if (library_ready)
        return true;
    const int r = libusb_init(nullptr);
    if (r < 0) {
        errno = usb_error_to_errno(r);
        return false;
    }
    std::atexit(usb_exit);
    library_ready = true;
    return true;
}
