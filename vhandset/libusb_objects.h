// The objects behind libusb's opaque handles. libusb.h only declares them; this
// library gives them their bodies. All mutable fields are guarded by the model
// mutex (bus.h).
#pragma once

#include "endpoint.h"

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <memory>

namespace vhandset {
class device;
}

struct libusb_context : std::enable_shared_from_this<libusb_context> {
    // Signalled when a transfer of this context becomes ready, when callbacks
    // have run (a waiter's completion flag may have changed), or on interruption.
    std::condition_variable events;
    std::deque<libusb_transfer*> ready;                // completed, callbacks not yet run
    std::list<libusb_transfer*> scheduled;             // complete at their `due` time
    std::list<libusb_transfer*> timed;                 // in flight with a time-out
    std::map<const vhandset::device*, libusb_device*> devices;  // device objects handed out
    unsigned interrupts = 0;                           // libusb_interrupt_event_handler calls pending
};

struct libusb_device {
    std::shared_ptr<libusb_context> context;
    std::shared_ptr<vhandset::device> model;  // outlives an unplug while referenced
    int refs = 1;
};

struct libusb_device_handle {
    libusb_device* device = nullptr;  // holds one reference
    bool auto_detach = false;
};

namespace vhandset {

// With the model mutex held: the transfer completed (status and actual_length
// are set); its callback runs at the next event handling of its context.
void make_ready(libusb_transfer* t);
// With the model mutex held: the transfer has moved its data and completes at
// `due` (its time on a timed link); until then it can no longer be cancelled.
void make_ready_at(libusb_transfer* t, std::chrono::steady_clock::time_point due);
// With the model mutex held: the transfer is in flight with a time-out.
void track_deadline(libusb_transfer* t);
// With the model mutex held: forget the transfer's time-out (withdrawn).
void untrack_deadline(libusb_transfer* t);

// Runs completions of `ctx` on the calling thread: waits until one is ready,
// *completed is non-zero, `timeout` has passed (nullptr: no limit) or the handler
// is interrupted. Expired transfers complete with LIBUSB_TRANSFER_TIMED_OUT here.
int handle_events(libusb_context* ctx, const timeval* timeout, int* completed);

// Wakes threads handling events of `ctx` without a completion.
void interrupt_events(libusb_context* ctx);

} // namespace vhandset
