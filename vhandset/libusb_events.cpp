// Completion delivery. As in libusb, callbacks run only inside the event
// handling functions, on the thread that calls them; the firmware threads only
// mark transfers ready.
#include "bus.h"
#include "libusb_objects.h"
#include "transfer.h"

#include <algorithm>
#include <atomic>
#include <optional>

namespace vhandset {

namespace {

bool flag_set(int* completed)
{
    // The flag is written by a callback, possibly on another thread handling
    // events of the same context.
    return completed != nullptr && std::atomic_ref<int>(*completed).load() != 0;
}

// Completes the context's transfers whose time-out has passed.
void expire(libusb_context* ctx, steady_clock::time_point now)
{
    for (auto it = ctx->timed.begin(); it != ctx->timed.end();) {
        libusb_transfer* t = *it;
        ++it;  // make_ready() removes t from the list
        auto& st = state_of(t);
        if (st.deadline > now)
            continue;
        if (st.target && st.target->withdraw_locked(t)) {
            t->status = LIBUSB_TRANSFER_TIMED_OUT;
            make_ready(t);
        } else {
            untrack_deadline(t);
        }
    }
}

// Completes the context's scheduled transfers whose time has come.
void release_due(libusb_context* ctx, steady_clock::time_point now)
{
    for (auto it = ctx->scheduled.begin(); it != ctx->scheduled.end();) {
        libusb_transfer* t = *it;
        if (state_of(t).due > now) {
            ++it;
            continue;
        }
        it = ctx->scheduled.erase(it);
        make_ready(t);
    }
}

// The earliest of the time-outs and scheduled completions of the context.
std::optional<steady_clock::time_point> next_wake(const libusb_context* ctx)
{
    std::optional<steady_clock::time_point> first;
    auto consider = [&first](steady_clock::time_point d) {
        if (!first || d < *first)
            first = d;
    };
    for (libusb_transfer* t : ctx->timed)
        consider(state_of(t).deadline);
    for (libusb_transfer* t : ctx->scheduled)
        consider(state_of(t).due);
    return first;
}

} // namespace

void make_ready(libusb_transfer* t)
{
    auto& st = state_of(t);
    if (st.has_deadline)
        untrack_deadline(t);
    st.state = transfer_state::phase::ready;
    if ((t->flags & LIBUSB_TRANSFER_SHORT_NOT_OK) != 0 && t->status == LIBUSB_TRANSFER_COMPLETED &&
        t->actual_length < t->length)
        t->status = LIBUSB_TRANSFER_ERROR;
    st.context->ready.push_back(t);
    st.context->events.notify_all();
}

void make_ready_at(libusb_transfer* t, steady_clock::time_point due)
{
    auto& st = state_of(t);
    if (st.has_deadline)
        untrack_deadline(t);
    st.has_deadline = false;  // its data has moved: it can no longer time out
    st.state = transfer_state::phase::scheduled;
    st.due = due;
    st.context->scheduled.push_back(t);
    st.context->events.notify_all();  // an event handler may have to wake sooner
}

void track_deadline(libusb_transfer* t) { state_of(t).context->timed.push_back(t); }

void untrack_deadline(libusb_transfer* t) { state_of(t).context->timed.remove(t); }

void interrupt_events(libusb_context* ctx)
{
    std::lock_guard lock(model_mutex());
    ++ctx->interrupts;
    ctx->events.notify_all();
}

int handle_events(libusb_context* ctx, const timeval* timeout, int* completed)
{
    std::optional<steady_clock::time_point> until;
    if (timeout != nullptr) {
        if (timeout->tv_sec < 0 || timeout->tv_usec < 0 || timeout->tv_usec >= 1000000)
            return LIBUSB_ERROR_INVALID_PARAM;
        until = steady_clock::now() + std::chrono::seconds(timeout->tv_sec) +
                std::chrono::microseconds(timeout->tv_usec);
    }

    std::deque<libusb_transfer*> batch;
    std::deque<hotplug_event> arrivals;  // and departures
    {
        std::unique_lock lock(model_mutex());
        for (;;) {
            if (flag_set(completed))
                return LIBUSB_SUCCESS;
            const auto now = steady_clock::now();
            expire(ctx, now);
            release_due(ctx, now);
            if (!ctx->ready.empty() || !ctx->hotplug_events.empty())
                break;
            if (ctx->interrupts > 0) {
                --ctx->interrupts;
                return LIBUSB_SUCCESS;
            }
            if (until && now >= *until)
                return LIBUSB_SUCCESS;
            auto wake = next_wake(ctx);
            if (until && (!wake || *until < *wake))
                wake = until;
            if (wake)
                ctx->events.wait_until(lock, *wake);
            else
                ctx->events.wait(lock);
        }
        batch.swap(ctx->ready);
        for (libusb_transfer* t : batch)
            state_of(t).state = transfer_state::phase::idle;
        arrivals.swap(ctx->hotplug_events);
    }

    // As libusb does, hot-plug callbacks before transfer callbacks.
    deliver_hotplug(ctx, arrivals);

    for (libusb_transfer* t : batch) {
        const auto flags = t->flags;  // the callback may resubmit and change them
        if (t->callback != nullptr)
            t->callback(t);
        if ((flags & LIBUSB_TRANSFER_FREE_TRANSFER) != 0)
            release_transfer(t);
    }

    // Another thread waiting on its own completion flag may have been served here.
    std::lock_guard lock(model_mutex());
    ctx->events.notify_all();
    return LIBUSB_SUCCESS;
}

} // namespace vhandset
