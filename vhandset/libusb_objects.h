// The objects behind libusb's opaque handles. libusb.h only declares them; this
// library gives them their bodies. All mutable fields are guarded by the model
// mutex (bus.h).
#pragma once

#include "endpoint.h"

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <new>
#include <vector>

namespace vhandset {

class device;

// A libusb_hotplug_register_callback() registration.
struct hotplug_callback {
    libusb_hotplug_callback_handle handle = 0;
    int events = 0;                                  // LIBUSB_HOTPLUG_EVENT_* bits
    int vendor_id = LIBUSB_HOTPLUG_MATCH_ANY;
    int product_id = LIBUSB_HOTPLUG_MATCH_ANY;
    int dev_class = LIBUSB_HOTPLUG_MATCH_ANY;
    libusb_hotplug_callback_fn fn = nullptr;
    void* user_data = nullptr;
    std::uint64_t registered_at = 0;                 // the context's hot-plug clock then
};

// A handset that arrived or left, not yet reported to the context's callbacks.
struct hotplug_event {
    std::shared_ptr<device> model;
    libusb_hotplug_event event = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    std::uint64_t seq = 0;                           // the hot-plug clock's tick for it
};

} // namespace vhandset

struct libusb_context : std::enable_shared_from_this<libusb_context> {
    // Signalled when a transfer of this context becomes ready, when a handset
    // arrives or leaves while hot-plug callbacks are registered, when callbacks
    // have run (a waiter's completion flag may have changed), or on interruption.
    std::condition_variable events;
    std::deque<libusb_transfer*> ready;                // completed, callbacks not yet run
    std::list<libusb_transfer*> scheduled;             // complete at their `due` time
    std::list<libusb_transfer*> timed;                 // in flight with a time-out
    std::map<const vhandset::device*, libusb_device*> devices;  // device objects handed out
    unsigned interrupts = 0;                           // libusb_interrupt_event_handler calls pending
    std::vector<vhandset::hotplug_callback> hotplug_callbacks;  // in registration order
    std::deque<vhandset::hotplug_event> hotplug_events;         // callbacks not yet run
    std::uint64_t hotplug_clock = 0;                   // ticks once per queued event
    libusb_hotplug_callback_handle next_hotplug_handle = 1;
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

// Runs a libusb entry point's body: exceptions become libusb error codes, as
// none may reach a C caller.
template <typename F>
int guarded(F&& f)
{
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return LIBUSB_ERROR_NO_MEM;
    } catch (...) {
        return LIBUSB_ERROR_OTHER;
    }
}

// With the model mutex held: the context a libusb call names (nullptr: the
// default context, itself nullptr before libusb_init(nullptr)).
libusb_context* resolve_context_locked(libusb_context* ctx);

// With the model mutex held: the context's device object for a handset, made
// on first use, with one more reference the caller gives back with
// libusb_unref_device(). Throws std::bad_alloc.
libusb_device* device_for_locked(libusb_context* ctx, const std::shared_ptr<device>& model);

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

// Runs completions and hot-plug callbacks of `ctx` on the calling thread: waits
// until one is due, *completed is non-zero, `timeout` has passed (nullptr: no
// limit) or the handler is interrupted. Expired transfers complete with
// LIBUSB_TRANSFER_TIMED_OUT here.
int handle_events(libusb_context* ctx, const timeval* timeout, int* completed);

// Wakes threads handling events of `ctx` without a completion.
void interrupt_events(libusb_context* ctx);

// With the model mutex held: the handset arrived on the bus or left it. Every
// context with hot-plug callbacks queues the event for its next event handling.
void announce_locked(const std::shared_ptr<device>& d, libusb_hotplug_event event) noexcept;

// Runs the hot-plug callbacks for `events`, taken from ctx->hotplug_events, on
// the calling thread. Callbacks registered after an event do not see it.
void deliver_hotplug(libusb_context* ctx, const std::deque<hotplug_event>& events);

// With the model mutex held: drops the context's callbacks (libusb_exit()).
// Returns its pending events, for the caller to let go of outside the lock.
std::deque<hotplug_event> forget_hotplug_locked(libusb_context* ctx);

} // namespace vhandset
