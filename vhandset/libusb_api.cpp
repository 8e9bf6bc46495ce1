// The libusb-1.0 entry points: argument checks, then calls into the model.
// No function here lets an exception escape into C callers.
#include "bus.h"
#include "control_channel.h"
#include "libusb_objects.h"
#include "transfer.h"

#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <new>

using vhandset::bus;
using vhandset::guarded;
using vhandset::model_mutex;
using vhandset::state_of;
using vhandset::transfer_state;

namespace {

constexpr unsigned default_event_wait_s = 60;  // libusb_handle_events() blocks at most this long
constexpr unsigned descriptor_timeout_ms = 1000;
constexpr int string_buffer_size = 255;

struct context_registry {
    std::shared_ptr<libusb_context> default_context;
    unsigned default_users = 0;
    std::map<libusb_context*, std::shared_ptr<libusb_context>> others;
};

context_registry& contexts()
{
    // Never destroyed: a libusb_exit() from an exit handler may come after static destructors.
    static auto* r = new context_registry;
    return *r;
}

// Copies a parsed descriptor into memory the caller frees with the matching
// libusb_free_* function (std::free here, as libusb's own use free()).
template <typename T>
int hand_out(const T& value, T** out)
{
    auto* p = static_cast<T*>(std::malloc(sizeof(T)));
    if (p == nullptr)
        return LIBUSB_ERROR_NO_MEM;
    *p = value;
    *out = p;
    return LIBUSB_SUCCESS;
}

// A BOS capability of `type` as its libusb structure: the common fields here,
// the rest read by `fill` from the capability's data.
template <typename T, typename F>
int hand_out_capability(const libusb_bos_dev_capability_descriptor* dev_cap, uint8_t type, uint8_t size, T** out,
                        F&& fill)
{
    if (dev_cap == nullptr || out == nullptr || dev_cap->bDevCapabilityType != type)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (dev_cap->bLength < size)
        return LIBUSB_ERROR_IO;
    T c{};
    c.bLength = dev_cap->bLength;
    c.bDescriptorType = dev_cap->bDescriptorType;
    c.bDevCapabilityType = dev_cap->bDevCapabilityType;
    fill(c, dev_cap->dev_capability_data);
    return hand_out(c, out);
}

struct transfer_deleter {
    void operator()(libusb_transfer* t) const { libusb_free_transfer(t); }
};
using transfer_ptr = std::unique_ptr<libusb_transfer, transfer_deleter>;

void LIBUSB_CALL sync_transfer_done(libusb_transfer* t)
{
    std::atomic_ref<int>(*static_cast<int*>(t->user_data)).store(1);
}

// Submits `t` and handles events until it completes, as libusb's synchronous
// functions do (other transfers' callbacks may run meanwhile).
int run_to_completion(libusb_transfer* t)
{
    int completed = 0;
    t->callback = sync_transfer_done;
    t->user_data = &completed;
    const int r = libusb_submit_transfer(t);
    if (r < 0)
        return r;
    libusb_context* ctx = t->dev_handle->device->context.get();
    while (std::atomic_ref<int>(completed).load() == 0)
        vhandset::handle_events(ctx, nullptr, &completed);
    return LIBUSB_SUCCESS;
}

int status_to_error(libusb_transfer_status status)
{
    switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_CANCELLED: return LIBUSB_ERROR_IO;
    default: return LIBUSB_ERROR_OTHER;
    }
}

int sync_data_transfer(libusb_device_handle* h, unsigned char type, unsigned char endpoint, unsigned char* data,
                       int length, int* transferred, unsigned int timeout)
{
    if (h == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    transfer_ptr t(libusb_alloc_transfer(0));
    if (!t)
        return LIBUSB_ERROR_NO_MEM;
    t->dev_handle = h;
    t->endpoint = endpoint;
    t->type = type;
    t->timeout = timeout;
    t->buffer = data;
    t->length = length;
    const int r = run_to_completion(t.get());
    if (r < 0)
        return r;
    if (transferred != nullptr)
        *transferred = t->actual_length;
    return status_to_error(t->status);
}

// With the model mutex held: the handle's device if it is still on the bus.
vhandset::device* usable(libusb_device_handle* h)
{
    vhandset::device* d = h->device->model.get();
    return d->attached_locked() ? d : nullptr;
}

} // namespace

namespace vhandset {

libusb_context* resolve_context_locked(libusb_context* ctx)
{
    return ctx != nullptr ? ctx : contexts().default_context.get();
}

libusb_device* device_for_locked(libusb_context* ctx, const std::shared_ptr<device>& model)
{
    auto found = ctx->devices.find(model.get());
    if (found != ctx->devices.end()) {
        ++found->second->refs;
        return found->second;
    }
    auto fresh = std::make_unique<libusb_device>();
    fresh->context = ctx->shared_from_this();
    fresh->model = model;
    ctx->devices.emplace(model.get(), fresh.get());
    return fresh.release();  // owned through its reference count from here on
}

} // namespace vhandset

extern "C" {

// ---- library and contexts -------------------------------------------------

int LIBUSB_CALL libusb_init(libusb_context** ctx)
{
    return guarded([&] {
        if (!vhandset::start_session_from_environment())
            return static_cast<int>(LIBUSB_ERROR_OTHER);
        std::lock_guard lock(model_mutex());
        auto& reg = contexts();
        if (ctx == nullptr) {
            if (!reg.default_context)
                reg.default_context = std::make_shared<libusb_context>();
            ++reg.default_users;
            return static_cast<int>(LIBUSB_SUCCESS);
        }
        auto c = std::make_shared<libusb_context>();
        *ctx = c.get();
        reg.others.emplace(c.get(), std::move(c));
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx)
{
    std::shared_ptr<libusb_context> last;  // released outside the lock
    std::deque<vhandset::hotplug_event> unreported;  // likewise
    std::lock_guard lock(model_mutex());
    auto& reg = contexts();
    if (ctx == nullptr || ctx == reg.default_context.get()) {
        if (reg.default_users > 0 && --reg.default_users == 0)
            last = std::move(reg.default_context);
    } else if (auto it = reg.others.find(ctx); it != reg.others.end()) {
        last = std::move(it->second);
        reg.others.erase(it);
    }
    // Device objects may keep the context alive; its callbacks end here.
    if (last)
        unreported = vhandset::forget_hotplug_locked(last.get());
}

void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}

void LIBUSB_CALL libusb_set_log_cb(libusb_context*, libusb_log_cb, int) {}

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option option, ...)
{
    switch (option) {
    case LIBUSB_OPTION_LOG_LEVEL:
    case LIBUSB_OPTION_NO_DEVICE_DISCOVERY:
        return LIBUSB_SUCCESS;
    case LIBUSB_OPTION_USE_USBDK:
        return LIBUSB_ERROR_NOT_SUPPORTED;
    default:
        return LIBUSB_ERROR_INVALID_PARAM;
    }
}

int LIBUSB_CALL libusb_setlocale(const char* locale) { return locale == nullptr ? LIBUSB_ERROR_INVALID_PARAM : LIBUSB_SUCCESS; }

// ---- devices -----------------------------------------------------------------

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list)
{
    if (list == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    return guarded([&] {
        bus::instance().attached();  // joins handsets that left by themselves
        std::lock_guard lock(model_mutex());
        libusb_context* c = vhandset::resolve_context_locked(ctx);
        if (c == nullptr)
            return static_cast<int>(LIBUSB_ERROR_INVALID_PARAM);
        const auto on_bus = bus::instance().attached_locked();
        auto array = std::make_unique<libusb_device*[]>(on_bus.size() + 1);
        std::size_t n = 0;
        for (const auto& d : on_bus)
            array[n++] = vhandset::device_for_locked(c, d);
        array[n] = nullptr;
        *list = array.release();  // the caller frees it with libusb_free_device_list()
        return static_cast<int>(n);
    });
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices)
{
    if (list == nullptr)
        return;
    if (unref_devices != 0) {
        for (libusb_device** p = list; *p != nullptr; ++p)
            libusb_unref_device(*p);
    }
    delete[] list;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev)
{
    if (dev != nullptr) {
        std::lock_guard lock(model_mutex());
        ++dev->refs;
    }
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev)
{
    if (dev == nullptr)
        return;
    std::unique_ptr<libusb_device> doomed;  // destroyed outside the lock
    std::lock_guard lock(model_mutex());
    if (--dev->refs > 0)
        return;
    auto& cache = dev->context->devices;
    auto it = cache.find(dev->model.get());
    if (it != cache.end() && it->second == dev)
        cache.erase(it);
    doomed.reset(dev);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc)
{
    if (dev == nullptr || desc == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    *desc = vhandset::parse_device_descriptor(dev->model->descriptors().device);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                             struct libusb_config_descriptor** config)
{
    if (dev == nullptr || config == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (config_index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    return guarded([&] {
        *config = vhandset::parse_config(dev->model->descriptors().configuration);
        return static_cast<int>(*config != nullptr ? LIBUSB_SUCCESS : LIBUSB_ERROR_IO);
    });
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev, struct libusb_config_descriptor** config)
{
    if (dev == nullptr || config == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    {
        std::lock_guard lock(model_mutex());
        if (dev->model->configuration_locked() != vhandset::configuration_value)
            return LIBUSB_ERROR_NOT_FOUND;  // unconfigured
    }
    return libusb_get_config_descriptor(dev, 0, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t value,
                                                      struct libusb_config_descriptor** config)
{
    if (dev == nullptr || config == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (value != vhandset::configuration_value)
        return LIBUSB_ERROR_NOT_FOUND;
    return libusb_get_config_descriptor(dev, 0, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config)
{
    if (config != nullptr)
        vhandset::release_config(config);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) { return dev != nullptr ? dev->model->bus_number() : 0; }

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) { return dev != nullptr ? dev->model->port_number() : 0; }

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers, int port_numbers_len)
{
    if (dev == nullptr || port_numbers == nullptr || port_numbers_len <= 0)
        return port_numbers_len <= 0 && dev != nullptr ? LIBUSB_ERROR_OVERFLOW : LIBUSB_ERROR_INVALID_PARAM;
    // Every handset sits on a port of the root hub: the path has one element.
    port_numbers[0] = dev->model->port_number();
    return 1;
}

int LIBUSB_CALL libusb_get_port_path(libusb_context*, libusb_device* dev, uint8_t* path, uint8_t path_length)
{
    return libusb_get_port_numbers(dev, path, path_length);
}

libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*)
{
    return nullptr;  // the root hub is not modelled
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev)
{
    return dev != nullptr ? dev->model->device_address() : 0;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device* dev)
{
    return dev != nullptr ? dev->model->descriptors().speed : LIBUSB_SPEED_UNKNOWN;
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint)
{
    if (dev == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (endpoint != vhandset::bulk_in_address && endpoint != vhandset::bulk_out_address)
        return LIBUSB_ERROR_NOT_FOUND;
    return static_cast<int>(dev->model->options().max_packet);
}

int LIBUSB_CALL libusb_get_max_iso_packet_size(libusb_device* dev, unsigned char endpoint)
{
    // For endpoints that are not isochronous libusb reports wMaxPacketSize.
    return libusb_get_max_packet_size(dev, endpoint);
}

int LIBUSB_CALL libusb_wrap_sys_device(libusb_context*, intptr_t, libusb_device_handle**)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

// ---- handles -----------------------------------------------------------------

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle)
{
    if (dev == nullptr || dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    return guarded([&] {
        std::lock_guard lock(model_mutex());
        if (!dev->model->attached_locked())
            return static_cast<int>(LIBUSB_ERROR_NO_DEVICE);
        auto h = std::make_unique<libusb_device_handle>();
        h->device = dev;
        ++dev->refs;
        *dev_handle = h.release();  // freed by libusb_close()
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle)
{
    if (dev_handle == nullptr)
        return;
    std::unique_ptr<libusb_device_handle> h(dev_handle);
    {
        std::lock_guard lock(model_mutex());
        vhandset::device* d = h->device->model.get();
        // As libusb does, transfers still queued through this handle are
        // withdrawn without a callback and lose their handle.
        for (libusb_transfer* t : d->withdraw_owned_locked(h.get())) {
            auto& st = state_of(t);
            if (st.has_deadline)
                vhandset::untrack_deadline(t);
            st.state = transfer_state::phase::idle;
            t->dev_handle = nullptr;
        }
        for (libusb_transfer* t : h->device->context->ready) {
            if (t->dev_handle == h.get())
                t->dev_handle = nullptr;
        }
        for (libusb_transfer* t : h->device->context->scheduled) {
            if (t->dev_handle == h.get())
                t->dev_handle = nullptr;
        }
        d->release_all_locked(h.get());
    }
    libusb_unref_device(h->device);
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* dev_handle)
{
    return dev_handle != nullptr ? dev_handle->device : nullptr;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vendor_id,
                                                                    uint16_t product_id)
{
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    if (n < 0)
        return nullptr;
    libusb_device_handle* h = nullptr;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(list[i], &desc) == 0 && desc.idVendor == vendor_id &&
            desc.idProduct == product_id) {
            if (libusb_open(list[i], &h) != 0)
                h = nullptr;
            break;
        }
    }
    libusb_free_device_list(list, 1);
    return h;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* dev_handle, int* config)
{
    if (dev_handle == nullptr || config == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    vhandset::device* d = usable(dev_handle);
    if (d == nullptr)
        return LIBUSB_ERROR_NO_DEVICE;
    *config = d->configuration_locked();
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* dev_handle, int configuration)
{
    if (dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    return dev_handle->device->model->set_configuration_locked(configuration);
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number)
{
    if (dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    return dev_handle->device->model->claim_locked(dev_handle, interface_number, dev_handle->auto_detach);
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle, int interface_number)
{
    if (dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    return dev_handle->device->model->release_locked(dev_handle, interface_number);
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* dev_handle, int interface_number,
                                                 int alternate_setting)
{
    if (dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    vhandset::device* d = usable(dev_handle);
    if (d == nullptr)
        return LIBUSB_ERROR_NO_DEVICE;
    if (!d->claimed_by_locked(dev_handle, interface_number) || alternate_setting != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* dev_handle, unsigned char endpoint)
{
    if (dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    return dev_handle->device->model->clear_halt_locked(dev_handle, endpoint);
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* dev_handle)
{
    if (dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    // A bus reset of this device keeps its descriptors and the firmware's state.
    return usable(dev_handle) != nullptr ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* dev_handle, int interface_number)
{
    if (dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    return dev_handle->device->model->kernel_driver_active_locked(interface_number);
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* dev_handle, int interface_number)
{
    if (dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    return dev_handle->device->model->detach_kernel_driver_locked(interface_number);
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* dev_handle, int interface_number)
{
    if (dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    return dev_handle->device->model->attach_kernel_driver_locked(interface_number);
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle, int enable)
{
    if (dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    dev_handle->auto_detach = enable != 0;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_alloc_streams(libusb_device_handle*, uint32_t, unsigned char*, int)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_free_streams(libusb_device_handle*, unsigned char*, int) { return LIBUSB_ERROR_NOT_SUPPORTED; }

unsigned char* LIBUSB_CALL libusb_dev_mem_alloc(libusb_device_handle*, size_t) { return nullptr; }

int LIBUSB_CALL libusb_dev_mem_free(libusb_device_handle*, unsigned char*, size_t) { return LIBUSB_ERROR_NOT_SUPPORTED; }

// ---- descriptors that only USB 2.1+ and SuperSpeed devices have ------------------

int LIBUSB_CALL libusb_get_bos_descriptor(libusb_device_handle* dev_handle, struct libusb_bos_descriptor** bos)
{
    if (dev_handle == nullptr || bos == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    vhandset::device* d = usable(dev_handle);
    if (d == nullptr)
        return LIBUSB_ERROR_NO_DEVICE;
    // A USB 2.0 device stalls the request for a BOS descriptor.
    if (d->descriptors().bos.empty())
        return LIBUSB_ERROR_PIPE;
    return guarded([&] {
        *bos = vhandset::parse_bos(d->descriptors().bos);
        return static_cast<int>(*bos != nullptr ? LIBUSB_SUCCESS : LIBUSB_ERROR_IO);
    });
}

void LIBUSB_CALL libusb_free_bos_descriptor(struct libusb_bos_descriptor* bos) { vhandset::release_bos(bos); }

int LIBUSB_CALL libusb_get_ss_endpoint_companion_descriptor(libusb_context*,
                                                            const struct libusb_endpoint_descriptor* endpoint,
                                                            struct libusb_ss_endpoint_companion_descriptor** ep_comp)
{
    if (endpoint == nullptr || ep_comp == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    const unsigned char* at = endpoint->extra;
    for (int left = endpoint->extra_length; at != nullptr && left >= 2; left -= at[0], at += at[0]) {
        if (at[0] < 2 || at[0] > left)
            return LIBUSB_ERROR_IO;
        if (at[1] != LIBUSB_DT_SS_ENDPOINT_COMPANION)
            continue;
        if (at[0] < LIBUSB_DT_SS_ENDPOINT_COMPANION_SIZE)
            return LIBUSB_ERROR_IO;
        libusb_ss_endpoint_companion_descriptor c{};
        c.bLength = at[0];
        c.bDescriptorType = at[1];
        c.bMaxBurst = at[2];
        c.bmAttributes = at[3];
        c.wBytesPerInterval = static_cast<uint16_t>(at[4] | at[5] << 8);
        return hand_out(c, ep_comp);
    }
    return LIBUSB_ERROR_NOT_FOUND;
}

void LIBUSB_CALL libusb_free_ss_endpoint_companion_descriptor(struct libusb_ss_endpoint_companion_descriptor* ep_comp)
{
    std::free(ep_comp);
}

int LIBUSB_CALL libusb_get_usb_2_0_extension_descriptor(libusb_context*,
                                                        struct libusb_bos_dev_capability_descriptor* dev_cap,
                                                        struct libusb_usb_2_0_extension_descriptor** ext)
{
    return hand_out_capability(dev_cap, LIBUSB_BT_USB_2_0_EXTENSION, LIBUSB_BT_USB_2_0_EXTENSION_SIZE, ext,
                               [](libusb_usb_2_0_extension_descriptor& e, const uint8_t* data) {
                                   e.bmAttributes = static_cast<uint32_t>(data[0] | data[1] << 8 | data[2] << 16) |
                                                    static_cast<uint32_t>(data[3]) << 24;
                               });
}

void LIBUSB_CALL libusb_free_usb_2_0_extension_descriptor(struct libusb_usb_2_0_extension_descriptor* ext)
{
    std::free(ext);
}

int LIBUSB_CALL libusb_get_ss_usb_device_capability_descriptor(
    libusb_context*, struct libusb_bos_dev_capability_descriptor* dev_cap,
    struct libusb_ss_usb_device_capability_descriptor** ss_cap)
{
    return hand_out_capability(dev_cap, LIBUSB_BT_SS_USB_DEVICE_CAPABILITY, LIBUSB_BT_SS_USB_DEVICE_CAPABILITY_SIZE,
                               ss_cap, [](libusb_ss_usb_device_capability_descriptor& c, const uint8_t* data) {
                                   c.bmAttributes = data[0];
                                   c.wSpeedSupported = static_cast<uint16_t>(data[1] | data[2] << 8);
                                   c.bFunctionalitySupport = data[3];
                                   c.bU1DevExitLat = data[4];
                                   c.bU2DevExitLat = static_cast<uint16_t>(data[5] | data[6] << 8);
                               });
}

void LIBUSB_CALL libusb_free_ss_usb_device_capability_descriptor(struct libusb_ss_usb_device_capability_descriptor* ss_cap)
{
    std::free(ss_cap);
}

int LIBUSB_CALL libusb_get_container_id_descriptor(libusb_context*, struct libusb_bos_dev_capability_descriptor*,
                                                   struct libusb_container_id_descriptor**)
{
    return LIBUSB_ERROR_INVALID_PARAM;
}

void LIBUSB_CALL libusb_free_container_id_descriptor(struct libusb_container_id_descriptor*) {}

// ---- asynchronous transfers ------------------------------------------------------

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int iso_packets)
{
    return vhandset::allocate_transfer(iso_packets);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* transfer)
{
    if (transfer == nullptr || transfer->dev_handle == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    return guarded([&] {
        std::lock_guard lock(model_mutex());
        auto& st = state_of(transfer);
        if (st.state != transfer_state::phase::idle)
            return static_cast<int>(LIBUSB_ERROR_BUSY);
        libusb_device* dev = transfer->dev_handle->device;
        st.context = dev->context.get();
        st.target = dev->model;
        return dev->model->submit_locked(transfer, transfer->dev_handle);
    });
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* transfer)
{
    if (transfer == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(model_mutex());
    auto& st = state_of(transfer);
    if (st.state != transfer_state::phase::in_flight || !st.target || !st.target->withdraw_locked(transfer))
        return LIBUSB_ERROR_NOT_FOUND;
    transfer->status = LIBUSB_TRANSFER_CANCELLED;
    vhandset::make_ready(transfer);
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* transfer)
{
    if (transfer == nullptr)
        return;
    std::shared_ptr<vhandset::device> target;  // dropped outside the lock
    {
        std::lock_guard lock(model_mutex());
        auto& st = state_of(transfer);
        // Freeing a transfer still in use is a caller's error; take it out of
        // every queue rather than leave dangling pointers behind.
        if (st.state == transfer_state::phase::in_flight) {
            st.target->withdraw_locked(transfer);
            if (st.has_deadline)
                vhandset::untrack_deadline(transfer);
        } else if (st.state == transfer_state::phase::ready) {
            auto& ready = st.context->ready;
            ready.erase(std::remove(ready.begin(), ready.end(), transfer), ready.end());
        } else if (st.state == transfer_state::phase::scheduled) {
            st.context->scheduled.remove(transfer);
        }
        target = std::move(st.target);
    }
    vhandset::release_transfer(transfer);
}

void LIBUSB_CALL libusb_transfer_set_stream_id(struct libusb_transfer* transfer, uint32_t stream_id)
{
    if (transfer != nullptr)
        state_of(transfer).stream_id = stream_id;
}

uint32_t LIBUSB_CALL libusb_transfer_get_stream_id(struct libusb_transfer* transfer)
{
    return transfer != nullptr ? state_of(transfer).stream_id : 0;
}

// ---- synchronous transfers -------------------------------------------------------

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* dev_handle, uint8_t request_type, uint8_t bRequest,
                                        uint16_t wValue, uint16_t wIndex, unsigned char* data, uint16_t wLength,
                                        unsigned int timeout)
{
    if (dev_handle == nullptr || (data == nullptr && wLength > 0))
        return LIBUSB_ERROR_INVALID_PARAM;
    return guarded([&] {
        std::vector<unsigned char> buffer(LIBUSB_CONTROL_SETUP_SIZE + wLength);
        libusb_fill_control_setup(buffer.data(), request_type, bRequest, wValue, wIndex, wLength);
        const bool in = (request_type & LIBUSB_ENDPOINT_IN) != 0;
        if (!in && wLength > 0)
            std::memcpy(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data, wLength);
        transfer_ptr t(libusb_alloc_transfer(0));
        if (!t)
            return static_cast<int>(LIBUSB_ERROR_NO_MEM);
        t->dev_handle = dev_handle;
        t->endpoint = 0;
        t->type = LIBUSB_TRANSFER_TYPE_CONTROL;
        t->timeout = timeout;
        t->buffer = buffer.data();
        t->length = static_cast<int>(buffer.size());
        const int r = run_to_completion(t.get());
        if (r < 0)
            return r;
        if (t->status == LIBUSB_TRANSFER_STALL)
            errno = EPIPE;  // what the kernel leaves behind for a stalled request; lsusb looks at it
        if (t->status != LIBUSB_TRANSFER_COMPLETED)
            return status_to_error(t->status);
        if (in && t->actual_length > 0)
            std::memcpy(data, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, static_cast<std::size_t>(t->actual_length));
        return t->actual_length;
    });
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* actual_length, unsigned int timeout)
{
    return guarded([&] {
        return sync_data_transfer(dev_handle, LIBUSB_TRANSFER_TYPE_BULK, endpoint, data, length, actual_length,
                                  timeout);
    });
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                          unsigned char* data, int length, int* actual_length, unsigned int timeout)
{
    return guarded([&] {
        return sync_data_transfer(dev_handle, LIBUSB_TRANSFER_TYPE_INTERRUPT, endpoint, data, length, actual_length,
                                  timeout);
    });
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle, uint8_t desc_index,
                                                   unsigned char* data, int length)
{
    if (dev_handle == nullptr || data == nullptr || length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (desc_index == 0)
        return LIBUSB_ERROR_INVALID_PARAM;  // index 0 is the language table, not a string
    unsigned char buf[string_buffer_size];
    int r = libusb_control_transfer(dev_handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                    LIBUSB_DT_STRING << 8, 0, buf, 4, descriptor_timeout_ms);
    if (r < 0)
        return r;
    if (r < 4 || buf[0] < 4 || buf[1] != LIBUSB_DT_STRING)
        return LIBUSB_ERROR_IO;
    const auto langid = static_cast<uint16_t>(buf[2] | (buf[3] << 8));
    r = libusb_control_transfer(dev_handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                static_cast<uint16_t>((LIBUSB_DT_STRING << 8) | desc_index), langid, buf,
                                sizeof buf, descriptor_timeout_ms);
    if (r < 0)
        return r;
    if (r < 2 || buf[1] != LIBUSB_DT_STRING || buf[0] > r)
        return LIBUSB_ERROR_IO;
    int out = 0;
    for (int at = 2; at + 1 < buf[0] && out < length - 1; at += 2)
        data[out++] = (buf[at + 1] != 0 || (buf[at] & 0x80) != 0) ? '?' : buf[at];
    data[out] = 0;
    return out;
}

// ---- event handling ----------------------------------------------------------------

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv, int* completed)
{
    if (tv == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_context* c = nullptr;
    {
        std::lock_guard lock(model_mutex());
        c = vhandset::resolve_context_locked(ctx);
    }
    if (c == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    return guarded([&] { return vhandset::handle_events(c, tv, completed); });
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv)
{
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed)
{
    timeval tv{default_event_wait_s, 0};
    return libusb_handle_events_timeout_completed(ctx, &tv, completed);
}

int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) { return libusb_handle_events_completed(ctx, nullptr); }

int LIBUSB_CALL libusb_handle_events_locked(libusb_context* ctx, struct timeval* tv)
{
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

// Event handling needs no lock of the caller's here: several threads may
// handle events of one context at once, each transfer completes exactly once.
int LIBUSB_CALL libusb_try_lock_events(libusb_context*) { return 0; }
void LIBUSB_CALL libusb_lock_events(libusb_context*) {}
void LIBUSB_CALL libusb_unlock_events(libusb_context*) {}
int LIBUSB_CALL libusb_event_handling_ok(libusb_context*) { return 1; }
int LIBUSB_CALL libusb_event_handler_active(libusb_context*) { return 0; }
void LIBUSB_CALL libusb_lock_event_waiters(libusb_context*) {}
void LIBUSB_CALL libusb_unlock_event_waiters(libusb_context*) {}

int LIBUSB_CALL libusb_wait_for_event(libusb_context* ctx, struct timeval* tv)
{
    std::unique_lock lock(model_mutex());
    libusb_context* c = vhandset::resolve_context_locked(ctx);
    if (c == nullptr)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (tv == nullptr) {
        c->events.wait(lock);
        return 0;
    }
    const auto limit = std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec);
    return c->events.wait_for(lock, limit) == std::cv_status::timeout ? 1 : 0;
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context* ctx)
{
    libusb_context* c = nullptr;
    {
        std::lock_guard lock(model_mutex());
        c = vhandset::resolve_context_locked(ctx);
    }
    if (c != nullptr)
        vhandset::interrupt_events(c);
}

int LIBUSB_CALL libusb_pollfds_handle_timeouts(libusb_context*) { return 1; }

int LIBUSB_CALL libusb_get_next_timeout(libusb_context*, struct timeval*)
{
    return 0;  // time-outs are handled inside the event functions
}

const struct libusb_pollfd** LIBUSB_CALL libusb_get_pollfds(libusb_context*)
{
    // No file descriptors to poll: an empty, terminated list.
    return static_cast<const libusb_pollfd**>(std::calloc(1, sizeof(libusb_pollfd*)));
}

void LIBUSB_CALL libusb_free_pollfds(const struct libusb_pollfd** pollfds) { std::free(const_cast<libusb_pollfd**>(pollfds)); }

void LIBUSB_CALL libusb_set_pollfd_notifiers(libusb_context*, libusb_pollfd_added_cb, libusb_pollfd_removed_cb, void*)
{
}

} // extern "C"
