// Tells its owner, once a second on the GUI thread (toolkit timers), whether
// exactly one USB device with a listed identity is attached. The callback runs
// only when that answer changes; a start from the stopped state reports again
// from "absent". The question itself is the USB layer's; only the timing lives
// here, with the toolkit.
#pragma once

#include "usb_id.h"

#include <vector>

using presence_callback = void (*)(bool present, void* user_data);

class device_detector {
public:
    device_detector(presence_callback callback, void* user_data);
    device_detector(const device_detector&) = delete;
    device_detector& operator=(const device_detector&) = delete;
    virtual ~device_detector();

    void start(const std::vector<usb_vidpid_t>& ids);
    void stop();
    bool running() const { return running_; }

    // Timer callback; user data is the detector.
    static void poll(void* detector);

private:
    void poll_once();

    presence_callback callback_;
    void* user_data_;
    bool running_ = false;
    bool present_ = false;
    std::vector<usb_vidpid_t> ids_;  // ends with an all-zero entry while running
};
