// In-process control of the virtual handset, for tests that link the drop-in
// libusb in place of the real one. Everything here is thread-safe.
#pragma once

#include "device_link.h"
#include "handset_options.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vhandset {

class handset {
public:
    virtual ~handset() = default;

    virtual const handset_options& options() const = 0;
    // Directory holding lun0.img, lun1.img, ..., transcript.txt.
    virtual const std::filesystem::path& state_dir() const = 0;
    std::filesystem::path lun_image(unsigned lun) const { return state_dir() / ("lun" + std::to_string(lun) + ".img"); }

    // Lines the handset received so far, one per Sahara packet or Firehose
    // request (see transcript.txt in the state directory for the format).
    virtual std::vector<std::string> transcript() const = 0;

    // True while the handset is on the bus.
    virtual bool attached() const = 0;

    // Bus location as libusb reports it.
    virtual std::uint8_t bus_number() const = 0;
    virtual std::uint8_t port_number() const = 0;
    virtual std::uint8_t device_address() const = 0;

    // Blocks until the firmware thread has ended (after a power reset or unplug),
    // or the timeout passed; returns true when it has ended.
    virtual bool wait_detached(unsigned timeout_ms) const = 0;
};

// Plugs a new handset in, booting into its Sahara boot ROM. state_dir is created
// when missing; existing LUN images in it are reused. Every fault in `opts`
// applies, whatever handset number it names (use for_handset() to pick).
std::shared_ptr<handset> attach(const handset_options& opts, const std::filesystem::path& state_dir);

// Test hook: plugs in a handset whose firmware is `firmware` instead of the
// boot ROM. It runs on the handset's own thread; device_link calls throw
// `unplugged` once the handset has left the bus. Throws std::invalid_argument
// for options USB cannot express (e.g. a max packet size of 0).
std::shared_ptr<handset> attach_with_firmware(const handset_options& opts, const std::filesystem::path& state_dir,
                                              std::function<void(device_link&)> firmware);

// Unplugs it: pending transfers end with LIBUSB_TRANSFER_NO_DEVICE and open
// handles fail with LIBUSB_ERROR_NO_DEVICE from then on.
void detach(const std::shared_ptr<handset>& h);

// Unplugs every handset (tests call this between cases).
void detach_all();

// The handsets currently on the bus, in attach order.
std::vector<std::shared_ptr<handset>> attached_handsets();

} // namespace vhandset
