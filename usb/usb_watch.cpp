#include "usb_watch.h"

#include "usb.h"

#include <libusb.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

constexpr int event_wait_ms = 100;
constexpr auto poll_period = std::chrono::milliseconds(500);
constexpr auto poll_step = std::chrono::milliseconds(50);

[[noreturn]] void cannot_watch(int error)
{
    throw std::runtime_error(std::string("usb: cannot watch for devices (") + std::strerror(error) + ")");
}

} // namespace

usb_device_ref::usb_device_ref(libusb_device* device) : device_(device ? libusb_ref_device(device) : nullptr) {}

usb_device_ref::usb_device_ref(const usb_device_ref& other) : usb_device_ref(other.device_) {}

usb_device_ref& usb_device_ref::operator=(usb_device_ref other) noexcept
{
    std::swap(device_, other.device_);
    return *this;
}

usb_device_ref::~usb_device_ref()
{
    if (device_)
        libusb_unref_device(device_);
}

// The registration and the user data its callback receives.
struct usb_device_watch::hotplug_link {
    const listener* on_change = nullptr;
    libusb_hotplug_callback_handle handle = 0;
    bool registered = false;

    static int LIBUSB_CALL callback(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* user)
    {
        const auto* self = static_cast<hotplug_link*>(user);
        try {
            (*self->on_change)(usb_device_ref(device), event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? change::arrived
                                                                                                     : change::left);
        } catch (...) {
            // An exception must not cross libusb's C frames.
        }
        return 0;  // stay registered
    }
};

usb_device_watch::usb_device_watch(std::uint32_t packed_vidpid, listener on_change, method how)
    : vidpid_(packed_vidpid), on_change_(std::move(on_change))
{
    if (!usb_init())
        cannot_watch(errno);
    hotplug_ = how == method::automatic && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
    if (hotplug_) {
        link_ = std::make_unique<hotplug_link>();
        link_->on_change = &on_change_;
        const int r = libusb_hotplug_register_callback(
            nullptr, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_ENUMERATE,
            usb_packed_vid(vidpid_), usb_packed_pid(vidpid_), LIBUSB_HOTPLUG_MATCH_ANY, hotplug_link::callback,
            link_.get(), &link_->handle);
        if (r != LIBUSB_SUCCESS)
            cannot_watch(usb_error_to_errno(r));
        link_->registered = true;
        // libusb delivers notifications only inside its event handling: keep
        // one thread in it, for the times no transfer is waited for.
        worker_ = std::thread([this] {
            while (stop_.load() == 0) {
                timeval tv{0, event_wait_ms * 1000};
                libusb_handle_events_timeout_completed(nullptr, &tv, nullptr);
            }
        });
        return;
    }
    poll_once();
    worker_ = std::thread([this] {
        auto next = std::chrono::steady_clock::now() + poll_period;
        while (stop_.load() == 0) {
            std::this_thread::sleep_for(poll_step);
            if (std::chrono::steady_clock::now() < next)
                continue;
            poll_once();
            next += poll_period;
        }
    });
}

usb_device_watch::~usb_device_watch()
{
    if (link_ && link_->registered)
        libusb_hotplug_deregister_callback(nullptr, link_->handle);
    stop_.store(1);
    if (worker_.joinable())
        worker_.join();
    for (libusb_device* d : seen_)
        libusb_unref_device(d);
}

void usb_device_watch::poll_once()
{
    const usb_vidpid_t ids[] = {{usb_packed_vid(vidpid_), usb_packed_pid(vidpid_)}, {0, 0}};
    usb_device_list list = nullptr;
    if (!usb_get_devices(&list))
        return;  // tried again at the next look
    usb_device_list_guard release(list);
    std::set<libusb_device*> now;
    if (usb_filter_vidpid(&list, ids))
        for (usb_device_list d = list; *d; ++d)
            now.insert(*d);
    for (libusb_device* d : seen_)
        if (!now.count(d)) {
            on_change_(usb_device_ref(d), change::left);
            libusb_unref_device(d);
        }
    for (libusb_device* d : now)
        if (!seen_.count(d)) {
            libusb_ref_device(d);
            on_change_(usb_device_ref(d), change::arrived);
        }
    // What stays known keeps the reference taken when it arrived.
    seen_ = std::move(now);
}
