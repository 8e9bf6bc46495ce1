// The USB device layer: free functions over libusb-1.0. Open devices are named
// by small integer handles (0..255) from a process-wide table, like file
// descriptors; each open device carries up to 8 bulk pipes. Functions report
// failure by their result (-1 or false) and leave the reason in errno
// (libusb codes translated by usb_error_to_errno).
//
// Reception is asynchronous: while a pipe is open a 64 KiB bulk IN transfer is
// always submitted, and usb_read waits (with the pipe's time-out) for it.
#pragma once

#include "usb_id.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

struct libusb_device;

// Interface class, subclass, protocol.
struct usb_interface_match {
    std::int32_t cls;
    std::int32_t subclass;
    std::int32_t protocol;
};

// The emergency-download interface: vendor-specific class, subclass and protocol.
constexpr usb_interface_match edl_interface = {0xff, 0xff, 0xff};

struct usb_location {
    std::uint16_t bus;
    std::uint16_t port;
    std::uint16_t address;
};

// A null-terminated array of device references, owned by the list.
using usb_device_list = libusb_device**;

constexpr int usb_max_devices = 256;
constexpr int usb_max_pipes = 8;
constexpr std::size_t usb_receive_size = 65536;
constexpr std::uint32_t usb_default_timeout_ms = 100;
constexpr std::size_t usb_string_size = 256;

// Packs vendor (low 16 bits) and product (high 16 bits): 05c6:9008 is 0x900805C6.
constexpr std::uint32_t usb_pack_vidpid(std::uint16_t vid, std::uint16_t pid)
{
    return static_cast<std::uint32_t>(vid) | (static_cast<std::uint32_t>(pid) << 16);
}
constexpr std::uint16_t usb_packed_vid(std::uint32_t packed) { return static_cast<std::uint16_t>(packed); }
constexpr std::uint16_t usb_packed_pid(std::uint32_t packed) { return static_cast<std::uint16_t>(packed >> 16); }
// The emergency-download identity, as an identity and packed.
constexpr usb_vidpid_t edl_identity{0x05c6, 0x9008};
constexpr std::uint32_t edl_vidpid = usb_pack_vidpid(edl_identity.vid, edl_identity.pid);

int usb_error_to_errno(int libusb_code);

// Initialises libusb's default context on first success; a failure (errno
// set) is retried by the next call. libusb_exit runs at process exit, after
// every handle still open has been closed. Safe to call from any thread.
bool usb_init();
// A new list of every attached device; on failure *list is left untouched.
bool usb_get_devices(usb_device_list* list);
// Drops every reference and frees the list; nullptr is ignored.
void usb_free_devices(usb_device_list list);

// Frees a device list when the scope ends, on every path. Holds the variable,
// not its value, so a list replaced by a filter is the one released.
class usb_device_list_guard {
public:
    explicit usb_device_list_guard(usb_device_list& list) : list_(list) {}
    usb_device_list_guard(const usb_device_list_guard&) = delete;
    usb_device_list_guard& operator=(const usb_device_list_guard&) = delete;
    ~usb_device_list_guard();

private:
    usb_device_list& list_;
};

// `ids` ends with an entry whose vid or pid is 0. Keeps the devices matching
// some entry (in list order) and releases the others; true when any remain,
// else false with errno ENODEV (ENOMEM: the list is left as it was).
bool usb_filter_vidpid(usb_device_list* list, const usb_vidpid_t* ids);
// `locations` ends with an all-zero entry; a zero field matches anything.
// Results as usb_filter_vidpid.
bool usb_filter_location(usb_device_list* list, const usb_location* locations);
std::uint32_t usb_device_vidpid(libusb_device* device);
usb_location usb_device_location(libusb_device* device);
// "%u:%u:%u (%04hx:%04hx)"; `out` holds at least 64 bytes.
void usb_describe_device(libusb_device* device, char* out, std::size_t out_size);
// The device's place as Linux names it ("1-2.4": bus 1, port 4 of the hub on
// port 2), which stays the same while the cable stays in the same socket;
// "BUS-0" when the platform cannot tell the ports. `out` holds at least
// usb_port_path_size bytes.
constexpr std::size_t usb_port_path_size = 32;
void usb_port_path(libusb_device* device, char* out, std::size_t out_size);
// Opens the device just long enough to read its serial number string into
// `out` (usb_string_size bytes). False (out empty, errno set) when it cannot
// be opened or has no serial string. Uses a handle of the table, so it must
// not run while another thread opens or closes devices.
bool usb_device_serial(libusb_device* device, char* out);

// The lowest free handle, or -1: EMFILE when all 256 are taken, else the
// translated libusb error. The kernel driver is detached automatically while
// an interface is claimed.
int usb_open(libusb_device* device);
// Opens the first attached device with that identity, or -1: ENODEV when there
// is none, ENOTUNIQ when `exclusive` is set and more than one is attached.
int usb_open_vidpid(std::uint32_t packed_vidpid, bool exclusive);
// The device behind an open handle (borrowed: valid while the handle is
// open), or nullptr with errno EBADF.
libusb_device* usb_handle_device(int handle);
// Closes every pipe, then the device. -1 is ignored; a free or out-of-range
// handle sets EBADF.
void usb_close(int handle);

// A pipe index (0..7) on the one interface alternate setting that matches, or
// -1: EBADF (handle), ENFILE (all 8 pipes taken), ENOENT (no single match, or
// the match has no IN endpoint), or the translated libusb error. The pipe's
// time-out starts at usb_default_timeout_ms.
int usb_open_pipe(int handle, const usb_interface_match& match);
// Cancels the pending reception (waiting at most usb_cancel_wait_ms for libusb
// to give it back), releases the interface and frees the pipe. A pipe of -1,
// or one not in use, is ignored.
void usb_close_pipe(int handle, int pipe);
bool usb_set_timeout(int handle, int pipe, std::uint32_t ms);
bool usb_get_timeout(int handle, int pipe, std::uint32_t* ms);
// Bytes of one received transfer (>= 1; zero-length packets are skipped), or
// -1: ETIMEDOUT when nothing arrived within the pipe's time-out (the reception
// stays pending; what arrives later is returned by the next read), EOVERFLOW
// when the transfer was larger than `capacity` (its bytes are dropped), ENODEV
// when the device has gone, EIO for any other failed transfer, EBADF for a
// bad handle or pipe.
long usb_read(int handle, int pipe, void* dst, std::size_t capacity);
// One synchronous bulk OUT transfer of the whole length, bounded by the pipe's
// time-out; bytes sent or -1 (also when a time-out cut the transfer short).
// No zero-length packet is added.
long usb_write(int handle, int pipe, const void* src, std::size_t length);
// Bulk OUT transfers of the pieces `next` hands out (data, size; size 0 ends
// them), in order, each bounded by the pipe's time-out. The next transfer is
// submitted while the one before it is crossing, so the link does not wait
// for the host between them; a piece must stay valid until `next` has been
// called twice more or the call has returned. 0, or -1 with errno as
// usb_write; transfers still in flight are cancelled and given back first,
// also when `next` throws. No zero-length packet is added.
int usb_write_stream(int handle, int pipe, const std::function<std::pair<const void*, std::size_t>()>& next);
// True when exactly `length` bytes arrived, over as many transfers as needed;
// a transfer larger than what remains fails with EOVERFLOW.
bool usb_read_all(int handle, int pipe, void* dst, std::size_t length);
// Reads and discards input until a read fails. True when the input ran dry
// (the last read timed out); false with errno for any other failure.
bool usb_drain(int handle, int pipe);

// Longest time usb_close_pipe waits for a cancelled reception to come back.
constexpr std::uint32_t usb_cancel_wait_ms = 2000;

// `out` holds usb_string_size bytes and receives NUL-terminated ASCII; false
// (out empty) when the device has no such string or it cannot be read.
bool usb_get_manufacturer(int handle, char* out);
bool usb_get_product(int handle, char* out);
bool usb_get_serial(int handle, char* out);
