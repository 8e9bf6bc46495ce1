// Devices of one identity as they come and go: libusb's hot-plug notification
// where the platform has it, else a look at the bus twice a second.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <thread>

struct libusb_device;

// A counted reference to a libusb device: the device object stays valid (and
// keeps its identity: a device that leaves and comes back is a new object)
// for as long as a reference exists.
class usb_device_ref {
public:
    usb_device_ref() = default;
    explicit usb_device_ref(libusb_device* device);  // takes a new reference
    usb_device_ref(const usb_device_ref& other);
    usb_device_ref& operator=(usb_device_ref other) noexcept;
    ~usb_device_ref();
    libusb_device* get() const { return device_; }

private:
    libusb_device* device_ = nullptr;
};

class usb_device_watch {
public:
    enum class change { arrived, left };
    // Called for every change: on the constructing thread for the devices
    // already attached, later on the watch's own thread or on any thread that
    // runs libusb's event handling (a read on another device). It must be
    // quick, safe to call from any thread and must not throw; it must not
    // open devices (the handle table belongs to one thread).
    using listener = std::function<void(const usb_device_ref& device, change what)>;
    enum class method { automatic, polling };

    // Reports every attached device with the packed identity (see
    // usb_pack_vidpid) as arrived before it returns. `automatic` uses hot-plug
    // notification when libusb_has_capability says the platform has it.
    // Throws std::runtime_error "usb: cannot watch for devices (<why>)".
    usb_device_watch(std::uint32_t packed_vidpid, listener on_change, method how = method::automatic);
    // No call of the listener starts after it returns (one already running on
    // another thread's event handling may still finish).
    ~usb_device_watch();
    usb_device_watch(const usb_device_watch&) = delete;
    usb_device_watch& operator=(const usb_device_watch&) = delete;

    // Whether hot-plug notification is in use (false: polling).
    bool hotplug() const { return hotplug_; }

private:
    struct hotplug_link;
    void poll_once();

    std::uint32_t vidpid_;
    listener on_change_;
    bool hotplug_ = false;
    std::unique_ptr<hotplug_link> link_;
    std::set<libusb_device*> seen_;  // polling: the devices attached at the last look, referenced
    std::atomic<int> stop_{0};
    std::thread worker_;
};
