#include "bus.h"

#include "libusb_objects.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace vhandset {

std::mutex& model_mutex()
{
    // Deliberately never destroyed: firmware threads and the control channel
    // may still use it while the process runs its exit handlers.
    static auto* m = new std::mutex;
    return *m;
}

bus& bus::instance()
{
    // Never destroyed, for the same reason as the mutex.
    static auto* b = new bus;
    return *b;
}

namespace {

constexpr std::uint8_t bus_number = 1;

std::string default_serial(unsigned number)
{
    char text[16];
    std::snprintf(text, sizeof text, "VH%08X", number);
    return text;
}

} // namespace

std::shared_ptr<device> bus::attach(const handset_options& opts, const std::filesystem::path& state_dir,
                                    device::firmware fw, unsigned number)
{
    reap();
    std::error_code ec;
    std::filesystem::create_directories(state_dir, ec);
    if (ec)
        throw std::runtime_error("cannot create " + state_dir.string() + ": " + ec.message());

    std::shared_ptr<device> d;
    {
        std::lock_guard lock(model_mutex());
        const auto on_bus = attached_locked();
        bus_location where;
        where.bus = bus_number;
        where.port = 0;
        for (unsigned p = 1; p <= ports && where.port == 0; ++p) {
            if (std::none_of(on_bus.begin(), on_bus.end(), [p](const auto& x) { return x->port_number() == p; }))
                where.port = static_cast<std::uint8_t>(p);
        }
        if (where.port == 0)
            throw std::runtime_error("every port of the virtual bus is taken");
        // Addresses are handed out round-robin, as a host controller driver does.
        for (unsigned tries = 0; tries <= last_address; ++tries) {
            const unsigned a = next_address_;
            next_address_ = a >= last_address ? first_address : a + 1;
            if (std::none_of(on_bus.begin(), on_bus.end(), [a](const auto& x) { return x->device_address() == a; })) {
                where.address = static_cast<std::uint8_t>(a);
                break;
            }
        }
        const unsigned serial_number = number != 0 ? number : attach_count_ + 1;
        std::string serial = opts.serial.empty() ? default_serial(serial_number) : opts.serial;
        d = std::make_shared<device>(opts, state_dir, serial, where);
        ++attach_count_;
        devices_.push_back(d);
        announce_locked(d, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    }
    d->start(std::move(fw));
    return d;
}

void bus::detach(const std::shared_ptr<device>& d)
{
    if (!d)
        return;
    {
        std::lock_guard lock(model_mutex());
        d->unplug_locked();
    }
    d->join_firmware();
    reap();
}

void bus::detach_all()
{
    std::vector<std::shared_ptr<device>> all;
    {
        std::lock_guard lock(model_mutex());
        all = devices_;
        for (auto& d : all)
            d->unplug_locked();
    }
    for (auto& d : all)
        d->join_firmware();
    reap();
}

std::vector<std::shared_ptr<device>> bus::attached()
{
    reap();
    std::lock_guard lock(model_mutex());
    return attached_locked();
}

std::vector<std::shared_ptr<device>> bus::attached_locked() const
{
    std::vector<std::shared_ptr<device>> on_bus;
    for (const auto& d : devices_) {
        if (d->attached_locked())
            on_bus.push_back(d);
    }
    return on_bus;
}

void bus::reap()
{
    std::vector<std::shared_ptr<device>> gone;
    {
        std::lock_guard lock(model_mutex());
        for (auto it = devices_.begin(); it != devices_.end();) {
            if (!(*it)->attached_locked() && (*it)->firmware_ended_locked()) {
                gone.push_back(std::move(*it));
                it = devices_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& d : gone)
        d->join_firmware();
}

} // namespace vhandset
