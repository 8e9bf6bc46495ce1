// The in-process control API (vhandset.h).
#include "bus.h"
#include "firmware/firmware.h"
#include "vhandset.h"

namespace vhandset {

std::shared_ptr<handset> attach(const handset_options& opts, const std::filesystem::path& state_dir)
{
    return bus::instance().attach(opts, state_dir,
                                  [opts, state_dir](device_link& link) { run_firmware(link, opts, state_dir); });
}

std::shared_ptr<handset> attach_with_firmware(const handset_options& opts, const std::filesystem::path& state_dir,
                                              std::function<void(device_link&)> firmware)
{
    return bus::instance().attach(opts, state_dir, std::move(firmware));
}

void detach(const std::shared_ptr<handset>& h)
{
    bus::instance().detach(std::dynamic_pointer_cast<device>(h));
}

void detach_all() { bus::instance().detach_all(); }

std::vector<std::shared_ptr<handset>> attached_handsets()
{
    const auto on_bus = bus::instance().attached();
    return {on_bus.begin(), on_bus.end()};
}

} // namespace vhandset
