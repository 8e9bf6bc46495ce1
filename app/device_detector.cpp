#include "device_detector.h"

#include "usb_presence.h"

#include <FL/Fl.H>

namespace {

constexpr double first_poll_s = 0.0;
constexpr double poll_interval_s = 1.0;

} // namespace

device_detector::device_detector(presence_callback callback, void* user_data)
    : callback_(callback), user_data_(user_data)
{
}

device_detector::~device_detector()
{
    stop();
}

void device_detector::start(const std::vector<usb_vidpid_t>& ids)
{
    ids_ = ids;
    ids_.push_back(usb_vidpid_t{});
    if (running_)
        return;
    running_ = true;
    present_ = false;
    Fl::add_timeout(first_poll_s, poll, this);
}

void device_detector::stop()
{
    if (!running_)
        return;
    Fl::remove_timeout(poll, this);
    running_ = false;
}

void device_detector::poll(void* detector)
{
    static_cast<device_detector*>(detector)->poll_once();
}

void device_detector::poll_once()
{
    // Re-armed before the enumeration, so polls stay a second apart from when
    // each was due, however long enumerating takes.
    Fl::repeat_timeout(poll_interval_s, poll, this);
    const bool found = usb_single_device_present(ids_.data());
    if (found != present_) {
        present_ = found;
        // Last: the owner may stop, restart or destroy this detector.
        if (callback_)
            callback_(present_, user_data_);
    }
}
