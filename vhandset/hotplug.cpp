// Hot-plug notification, as libusb-1.0 offers it. Handsets arrive and leave on
// other threads (the control channel, a test, a firmware's power reset); the
// bus announces them, each context with callbacks queues the event, and the
// callbacks run later inside that context's event handling, on the thread that
// handles events. Only the LIBUSB_HOTPLUG_ENUMERATE pass runs inside
// libusb_hotplug_register_callback() itself, as in libusb.
#include "bus.h"
#include "descriptors.h"
#include "libusb_objects.h"

#include <algorithm>
#include <cstdint>

namespace vhandset {

namespace {

constexpr int valid_events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;

// Contexts with at least one callback: the ones a handset's arrival concerns.
std::vector<libusb_context*>& listeners()
{
    // Never destroyed, like the model mutex that guards it.
    static auto* l = new std::vector<libusb_context*>;
    return *l;
}

// The context's device object for a handset, for the length of the callbacks.
class device_ref {
public:
    device_ref(libusb_context* ctx, const std::shared_ptr<device>& model)
    {
        std::lock_guard lock(model_mutex());
        dev_ = device_for_locked(ctx, model);
    }
    ~device_ref() { libusb_unref_device(dev_); }
    device_ref(const device_ref&) = delete;
    device_ref& operator=(const device_ref&) = delete;
    libusb_device* get() const { return dev_; }

private:
    libusb_device* dev_ = nullptr;
};

bool id_valid(int id, int mask) { return id == LIBUSB_HOTPLUG_MATCH_ANY || (id & ~mask) == 0; }

bool matches(const hotplug_callback& cb, const device& d, libusb_hotplug_event event)
{
    if ((cb.events & event) == 0)
        return false;
    const libusb_device_descriptor desc = parse_device_descriptor(d.descriptors().device);
    auto fits = [](int wanted, int actual) { return wanted == LIBUSB_HOTPLUG_MATCH_ANY || wanted == actual; };
    return fits(cb.vendor_id, desc.idVendor) && fits(cb.product_id, desc.idProduct) &&
           fits(cb.dev_class, desc.bDeviceClass);
}

bool registered_locked(const libusb_context* ctx, libusb_hotplug_callback_handle handle)
{
    return std::any_of(ctx->hotplug_callbacks.begin(), ctx->hotplug_callbacks.end(),
                       [handle](const hotplug_callback& cb) { return cb.handle == handle; });
}

// With the model mutex held, after callbacks went: a context left without any
// stops listening. Returns the events it no longer needs, for the caller to
// let go of outside the lock (later callbacks never see earlier events).
std::deque<hotplug_event> settle_locked(libusb_context* ctx)
{
    std::deque<hotplug_event> dropped;
    if (ctx->hotplug_callbacks.empty()) {
        std::erase(listeners(), ctx);
        dropped.swap(ctx->hotplug_events);
    }
    return dropped;
}

std::deque<hotplug_event> drop_callback_locked(libusb_context* ctx, libusb_hotplug_callback_handle handle)
{
    std::erase_if(ctx->hotplug_callbacks, [handle](const hotplug_callback& cb) { return cb.handle == handle; });
    return settle_locked(ctx);
}

// Calls `cb` unless it was deregistered meanwhile; a callback that returns
// non-zero is deregistered.
void run_callback(libusb_context* ctx, const hotplug_callback& cb, libusb_device* dev, libusb_hotplug_event event)
{
    {
        std::lock_guard lock(model_mutex());
        if (!registered_locked(ctx, cb.handle))
            return;
    }
    if (cb.fn(ctx, dev, event, cb.user_data) == 0)
        return;
    std::deque<hotplug_event> dropped;  // let go of outside the lock
    std::lock_guard lock(model_mutex());
    dropped = drop_callback_locked(ctx, cb.handle);
}

} // namespace

void announce_locked(const std::shared_ptr<device>& d, libusb_hotplug_event event) noexcept
{
    for (libusb_context* ctx : listeners()) {
        try {
            ctx->hotplug_events.push_back({d, event, ++ctx->hotplug_clock});
        } catch (const std::bad_alloc&) {
            continue;  // out of memory: the context misses the event, as libusb's would
        }
        ctx->events.notify_all();
    }
}

void deliver_hotplug(libusb_context* ctx, const std::deque<hotplug_event>& events)
{
    for (const hotplug_event& e : events) {
        try {
            std::vector<hotplug_callback> due;
            {
                std::lock_guard lock(model_mutex());
                for (const hotplug_callback& cb : ctx->hotplug_callbacks)
                    if (cb.registered_at < e.seq && matches(cb, *e.model, e.event))
                        due.push_back(cb);
            }
            if (due.empty())
                continue;
            const device_ref dev(ctx, e.model);
            for (const hotplug_callback& cb : due)
                run_callback(ctx, cb, dev.get(), e.event);
        } catch (const std::bad_alloc&) {
            // Out of memory: the event is lost, as libusb loses it then.
        }
    }
}

std::deque<hotplug_event> forget_hotplug_locked(libusb_context* ctx)
{
    ctx->hotplug_callbacks.clear();
    return settle_locked(ctx);
}

} // namespace vhandset

using vhandset::hotplug_callback;
using vhandset::model_mutex;

extern "C" {

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context* ctx, int events, int flags, int vendor_id,
                                                 int product_id, int dev_class, libusb_hotplug_callback_fn cb_fn,
                                                 void* user_data, libusb_hotplug_callback_handle* callback_handle)
{
    if (events == 0 || (events & ~vhandset::valid_events) != 0 || (flags & ~LIBUSB_HOTPLUG_ENUMERATE) != 0 ||
        !vhandset::id_valid(vendor_id, 0xffff) || !vhandset::id_valid(product_id, 0xffff) ||
        !vhandset::id_valid(dev_class, 0xff) || cb_fn == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    return vhandset::guarded([&] {
        libusb_context* c = nullptr;
        hotplug_callback cb;
        std::vector<std::shared_ptr<vhandset::device>> present;
        {
            std::lock_guard lock(model_mutex());
            c = vhandset::resolve_context_locked(ctx);
            if (c == nullptr)
                return static_cast<int>(LIBUSB_ERROR_INVALID_PARAM);
            cb = {c->next_hotplug_handle, events, vendor_id, product_id, dev_class, cb_fn, user_data, c->hotplug_clock};
            if ((flags & LIBUSB_HOTPLUG_ENUMERATE) != 0) {
                for (const auto& d : vhandset::bus::instance().attached_locked())
                    if (vhandset::matches(cb, *d, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED))
                        present.push_back(d);
            }
            // Whatever may throw comes before the registration takes effect.
            c->hotplug_callbacks.reserve(c->hotplug_callbacks.size() + 1);
            if (c->hotplug_callbacks.empty())
                vhandset::listeners().push_back(c);
            c->hotplug_callbacks.push_back(cb);
            c->next_hotplug_handle = c->next_hotplug_handle == INT32_MAX ? 1 : c->next_hotplug_handle + 1;
        }
        // As in libusb, the enumeration pass ignores the callback's return value
        // and the handle is stored only after it.
        try {
            for (const auto& d : present) {
                const vhandset::device_ref dev(c, d);
                cb.fn(c, dev.get(), LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, cb.user_data);
            }
        } catch (...) {
            libusb_hotplug_deregister_callback(c, cb.handle);
            throw;
        }
        if (callback_handle != nullptr)
            *callback_handle = cb.handle;
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context* ctx, libusb_hotplug_callback_handle callback_handle)
{
    std::deque<vhandset::hotplug_event> dropped;  // let go of outside the lock
    std::lock_guard lock(model_mutex());
    if (libusb_context* c = vhandset::resolve_context_locked(ctx); c != nullptr)
        dropped = vhandset::drop_callback_locked(c, callback_handle);
}

void* LIBUSB_CALL libusb_hotplug_get_user_data(libusb_context* ctx, libusb_hotplug_callback_handle callback_handle)
{
    std::lock_guard lock(model_mutex());
    libusb_context* c = vhandset::resolve_context_locked(ctx);
    if (c == nullptr)
        return nullptr;
    for (const hotplug_callback& cb : c->hotplug_callbacks)
        if (cb.handle == callback_handle)
            return cb.user_data;
    return nullptr;
}

} // extern "C"
