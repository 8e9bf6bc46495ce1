// The virtual bus: the registry of attached handsets and the one mutex that
// guards the whole USB model (devices, endpoints, transfers, contexts).
#pragma once

#include "device.h"

#include <memory>
#include <mutex>
#include <vector>

namespace vhandset {

// The model mutex. Held only briefly; never held while a transfer callback,
// a firmware function or a thread join runs.
std::mutex& model_mutex();

class bus {
public:
    static bus& instance();

    // Plugs a handset in at the lowest free port with the next free address
    // and starts its firmware; hot-plug callbacks learn of it. `number` names it in its default serial number
    // (0: the count of handsets attached so far). Throws std::invalid_argument
    // for bad options, std::runtime_error when the bus is full or state_dir
    // cannot be created.
    std::shared_ptr<device> attach(const handset_options& opts, const std::filesystem::path& state_dir,
                                   device::firmware fw, unsigned number = 0);
    // Unplugs it and joins its firmware thread.
    void detach(const std::shared_ptr<device>& d);
    void detach_all();

    // Handsets on the bus, in attach order.
    std::vector<std::shared_ptr<device>> attached();
    std::vector<std::shared_ptr<device>> attached_locked() const;

private:
    bus() = default;
    // Joins firmware threads of handsets that left the bus by themselves.
    void reap();

    std::vector<std::shared_ptr<device>> devices_;  // attached, or left but not yet joined
    unsigned next_address_ = first_address;
    unsigned attach_count_ = 0;

    static constexpr unsigned first_address = 2;  // 1 is the root hub's
    static constexpr unsigned last_address = 127;
    static constexpr unsigned ports = 127;
};

} // namespace vhandset
