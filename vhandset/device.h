// One emulated handset on the bus: its descriptors, endpoint 0, the two bulk
// endpoints, and the firmware thread that talks through them.
//
// Host-side members ending in _locked expect the model mutex (bus.h) to be held;
// the handset and device_link members take it themselves.
#pragma once

#include "descriptors.h"
#include "device_link.h"
#include "endpoint.h"
#include "usb_faults.h"
#include "usb_link.h"
#include "vhandset.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <thread>

namespace vhandset {

struct bus_location {
    std::uint8_t bus = 1;
    std::uint8_t port = 1;
    std::uint8_t address = 2;
};

class device final : public handset, public device_link, public std::enable_shared_from_this<device> {
public:
    using firmware = std::function<void(device_link&)>;

    // Throws std::invalid_argument for options USB cannot express.
    device(const handset_options& opts, const std::filesystem::path& state_dir, const std::string& serial,
           bus_location where);
    ~device() override;
    device(const device&) = delete;
    device& operator=(const device&) = delete;

    // Starts the firmware on the handset's own thread.
    void start(firmware fw);
    // Waits for the firmware thread to end and joins it. Never from that thread.
    // Safe to call from several threads at once.
    void join_firmware();
    bool firmware_ended_locked() const { return firmware_ended_; }

    // handset
    const handset_options& options() const override { return options_; }
    const std::filesystem::path& state_dir() const override { return state_dir_; }
    std::vector<std::string> transcript() const override;
    bool attached() const override;
    std::uint8_t bus_number() const override { return where_.bus; }
    std::uint8_t port_number() const override { return where_.port; }
    std::uint8_t device_address() const override { return where_.address; }
    bool wait_detached(unsigned timeout_ms) const override;

    // device_link, for the firmware. A receive whose time runs out after some
    // bytes arrived returns them with *timed_out false: data is never dropped.
    std::size_t receive(void* dst, std::size_t max, unsigned timeout_ms, bool* timed_out) override;
    void send(const void* src, std::size_t len) override;
    void detach() override;
    void tally_out_transfers(transfer_tally* tally) noexcept override;

    // Host side
    const descriptor_set& descriptors() const { return descriptors_; }
    bool attached_locked() const { return !unplugged_; }
    // Leaves the bus: queued transfers complete with LIBUSB_TRANSFER_NO_DEVICE,
    // the firmware gets `unplugged` from its next device_link call, hot-plug
    // callbacks learn of it. The device must be owned by a shared_ptr.
    void unplug_locked();

    // Queues a transfer (control transfers complete at once). Returns 0 or a
    // libusb error; `owner` is the handle submitting it.
    int submit_locked(libusb_transfer* t, const libusb_device_handle* owner);
    // Takes a queued transfer back without completing it; false if not queued.
    bool withdraw_locked(libusb_transfer* t);
    // Takes back every queued transfer submitted through `owner`.
    transfer_list withdraw_owned_locked(const libusb_device_handle* owner);

    // `auto_detach`: a bound kernel driver is detached for the claim and
    // attached again when the interface is released.
    int claim_locked(const libusb_device_handle* owner, int interface_number, bool auto_detach);
    int release_locked(const libusb_device_handle* owner, int interface_number);
    void release_all_locked(const libusb_device_handle* owner);
    bool claimed_by_locked(const libusb_device_handle* owner, int interface_number) const;
    bool has_interface(int interface_number) const;
    int configuration_locked() const { return configuration_; }
    int kernel_driver_active_locked(int interface_number) const;
    int detach_kernel_driver_locked(int interface_number);
    int attach_kernel_driver_locked(int interface_number);
    int clear_halt_locked(const libusb_device_handle* owner, unsigned endpoint);
    int set_configuration_locked(int value);

private:
    struct control_result {
        bool stall = true;
        std::size_t length = 0;  // bytes of the data stage
    };
    control_result standard_request(const libusb_control_setup& setup, std::uint8_t* data);
    int submit_control_locked(libusb_transfer* t);
    void deliver(transfer_list& finished);
    bool& halted_flag(unsigned endpoint);
    // The claim ends; an automatically detached kernel driver comes back.
    void give_back_interface();

    const handset_options options_;
    const std::filesystem::path state_dir_;
    const bus_location where_;
    const descriptor_set descriptors_;

    usb_faults faults_;
    bool driver_bound_ = false;          // a kernel driver holds the interface
    bool reattach_on_release_ = false;   // it was detached automatically for a claim
    bool in_halted_ = false;
    bool out_halted_ = false;
    bool unplugged_ = false;
    bool firmware_ended_ = false;
    int configuration_ = configuration_value;  // the host's OS configured it on arrival
    const libusb_device_handle* interface_owner_ = nullptr;
    transfer_tally* tally_ = nullptr;    // the firmware's record of OUT transfer sizes
    const std::unique_ptr<const usb_link> link_;  // the cable's timing; nullptr: none
    in_endpoint in_;
    out_endpoint out_;
    mutable std::condition_variable link_wakeup_;      // host data or an IN transfer arrived, or unplugged
    mutable std::condition_variable firmware_ended_cv_;
    std::thread thread_;
    // The unplugging thread and a bus enumeration that reaps departed handsets
    // may both come to join the firmware; joining a thread twice is undefined.
    std::mutex join_mutex_;
};

} // namespace vhandset
