#include "device.h"

#include "bus.h"
#include "firmware/firmware.h"
#include "libusb_objects.h"
#include "transfer.h"

#include <algorithm>
#include <cstring>

namespace vhandset {

namespace {

constexpr std::uint8_t request_type_mask = 0x60;
constexpr std::uint8_t recipient_mask = 0x1f;
constexpr std::uint16_t feature_endpoint_halt = 0;
constexpr std::uint16_t feature_remote_wakeup = 1;
// Device writes the host has not taken yet, beyond which the firmware waits
// (as a controller whose buffers are full does): a long read streams instead
// of piling up in memory.
constexpr std::size_t in_backlog_limit = 4 << 20;

bool is_in(const libusb_control_setup& s) { return (s.bmRequestType & LIBUSB_ENDPOINT_IN) != 0; }

bool is_bulk_endpoint(unsigned address) { return address == bulk_in_address || address == bulk_out_address; }

std::unique_ptr<const usb_link> make_link(const std::string& name)
{
    const link_timing* timing = link_timing_named(name);
    return timing != nullptr ? std::make_unique<const usb_link>(*timing) : nullptr;
}

} // namespace

device::device(const handset_options& opts, const std::filesystem::path& state_dir, const std::string& serial,
               bus_location where)
    : options_(on_link(opts)), state_dir_(state_dir), where_(where), descriptors_(make_descriptors(options_, serial)),
      faults_(plan_usb_faults(opts)), driver_bound_(faults_.driver_bound), link_(make_link(opts.link)),
      in_(options_.max_packet, options_.zlp, link_.get()), out_(options_.max_packet, link_.get())
{
}

device::~device()
{
    // The bus joins the thread before letting go of a device; this only guards
    // against a handset dropped before its firmware was ever joined.
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
}

void device::start(firmware fw)
{
    thread_ = std::thread([this, fw = std::move(fw)] {
        try {
            fw(*this);
        } catch (...) {
            // `unplugged` ends a firmware normally; anything else ends it too, as
            // a crashed handset would simply stop answering.
        }
        std::lock_guard lock(model_mutex());
        firmware_ended_ = true;
        firmware_ended_cv_.notify_all();
    });
}

void device::join_firmware()
{
    std::lock_guard lock(join_mutex_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

std::vector<std::string> device::transcript() const { return read_transcript(state_dir_); }

bool device::attached() const
{
    std::lock_guard lock(model_mutex());
    return !unplugged_;
}

bool device::wait_detached(unsigned timeout_ms) const
{
    std::unique_lock lock(model_mutex());
    return firmware_ended_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return firmware_ended_; });
}

std::size_t device::receive(void* dst, std::size_t max, unsigned timeout_ms, bool* timed_out)
{
    if (timed_out != nullptr)
        *timed_out = false;
    auto* out = static_cast<std::uint8_t*>(dst);
    const auto deadline = steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::size_t got = 0;
    std::unique_lock lock(model_mutex());
    for (;;) {
        if (unplugged_)
            throw unplugged();
        transfer_list finished;
        const auto r = out_.take(out + got, max - got, finished, steady_clock::now());
        got += r.bytes;
        if (tally_ != nullptr)
            for (libusb_transfer* t : finished)
                tally_->add(static_cast<std::size_t>(t->length));
        deliver(finished);
        if (r.ended || got == max)
            return got;
        if (timeout_ms != 0 && steady_clock::now() >= deadline) {
            if (got == 0 && timed_out != nullptr)
                *timed_out = true;
            return got;
        }
        if (timeout_ms != 0)
            link_wakeup_.wait_until(lock, r.arrives ? std::min(deadline, *r.arrives) : deadline);
        else if (r.arrives)
            link_wakeup_.wait_until(lock, *r.arrives);
        else
            link_wakeup_.wait(lock);
    }
}

void device::send(const void* src, std::size_t len)
{
    std::unique_lock lock(model_mutex());
    link_wakeup_.wait(lock, [&] {
        const std::size_t backlog = in_.pending_bytes();
        return unplugged_ || backlog == 0 || backlog + len <= in_backlog_limit;
    });
    if (unplugged_)
        throw unplugged();
    if (faults_.in_drop.next())
        return;
    transfer_list finished;
    in_.write(src, len, finished);
    deliver(finished);
}

void device::tally_out_transfers(transfer_tally* tally) noexcept
{
    std::lock_guard lock(model_mutex());
    tally_ = tally;
}

void device::detach()
{
    std::lock_guard lock(model_mutex());
    unplug_locked();
}

void device::unplug_locked()
{
    if (unplugged_)
        return;
    unplugged_ = true;
    interface_owner_ = nullptr;
    transfer_list pending = in_.withdraw_if();
    transfer_list more = out_.withdraw_if();
    pending.insert(pending.end(), more.begin(), more.end());
    for (libusb_transfer* t : pending) {
        t->status = LIBUSB_TRANSFER_NO_DEVICE;
        make_ready(t);
    }
    link_wakeup_.notify_all();
    announce_locked(shared_from_this(), LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
}

void device::deliver(transfer_list& finished)
{
    for (libusb_transfer* t : finished) {
        auto& st = state_of(t);
        if (st.has_due)
            make_ready_at(t, st.due);
        else
            make_ready(t);
    }
    finished.clear();
}

int device::submit_locked(libusb_transfer* t, const libusb_device_handle* owner)
{
    if (unplugged_)
        return LIBUSB_ERROR_NO_DEVICE;
    if (t->length < 0 || (t->buffer == nullptr && t->length > 0))
        return LIBUSB_ERROR_INVALID_PARAM;
    switch (t->type) {
    case LIBUSB_TRANSFER_TYPE_CONTROL:
        return submit_control_locked(t);
    case LIBUSB_TRANSFER_TYPE_BULK:
        break;
    case LIBUSB_TRANSFER_TYPE_BULK_STREAM:
        return LIBUSB_ERROR_NOT_SUPPORTED;
    default:
        // Interrupt and isochronous transfers on bulk endpoints: refused as a
        // host controller driver refuses a mismatched endpoint type.
        return is_bulk_endpoint(t->endpoint) ? LIBUSB_ERROR_INVALID_PARAM : LIBUSB_ERROR_NOT_FOUND;
    }
    // The endpoints exist only while configured, and can be used only through
    // the handle that claimed their interface.
    if (!is_bulk_endpoint(t->endpoint) || configuration_ != configuration_value ||
        interface_owner_ != owner)
        return LIBUSB_ERROR_NOT_FOUND;

    auto& st = state_of(t);
    st.state = transfer_state::phase::in_flight;
    const bool in = t->endpoint == bulk_in_address;
    bool& halted = in ? in_halted_ : out_halted_;
    if ((in ? faults_.in_stall : faults_.out_stall).next())
        halted = true;
    if (halted) {
        st.has_deadline = false;
        t->actual_length = 0;
        t->status = LIBUSB_TRANSFER_STALL;
        make_ready(t);
        return LIBUSB_SUCCESS;
    }
    st.has_deadline = t->timeout != 0;
    if (st.has_deadline) {
        st.deadline = steady_clock::now() + std::chrono::milliseconds(t->timeout);
        track_deadline(t);
    }
    t->status = LIBUSB_TRANSFER_COMPLETED;
    transfer_list finished;
    if (in) {
        in_.submit(t, finished);
        link_wakeup_.notify_all();  // room for a firmware write waiting on the backlog
    } else {
        st.zero_packet_after = (t->flags & LIBUSB_TRANSFER_ADD_ZERO_PACKET) != 0 && t->length > 0 &&
                               t->length % static_cast<int>(options_.max_packet) == 0;
        out_.submit(t);
        link_wakeup_.notify_all();
    }
    deliver(finished);
    return LIBUSB_SUCCESS;
}

int device::submit_control_locked(libusb_transfer* t)
{
    if (t->length < static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE))
        return LIBUSB_ERROR_INVALID_PARAM;
    libusb_control_setup setup{};
    std::memcpy(&setup, t->buffer, sizeof setup);
    setup.wValue = libusb_le16_to_cpu(setup.wValue);
    setup.wIndex = libusb_le16_to_cpu(setup.wIndex);
    setup.wLength = libusb_le16_to_cpu(setup.wLength);
    if (t->length < static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE + setup.wLength))
        return LIBUSB_ERROR_INVALID_PARAM;

    auto& st = state_of(t);
    st.state = transfer_state::phase::in_flight;
    st.has_deadline = false;
    const control_result r = standard_request(setup, t->buffer + LIBUSB_CONTROL_SETUP_SIZE);
    t->actual_length = r.stall ? 0 : static_cast<int>(std::min<std::size_t>(r.length, setup.wLength));
    t->status = r.stall ? LIBUSB_TRANSFER_STALL : LIBUSB_TRANSFER_COMPLETED;
    make_ready(t);
    return LIBUSB_SUCCESS;
}

device::control_result device::standard_request(const libusb_control_setup& s, std::uint8_t* data)
{
    control_result r;
    if ((s.bmRequestType & request_type_mask) != LIBUSB_REQUEST_TYPE_STANDARD)
        return r;  // no class or vendor requests on this device
    const unsigned recipient = s.bmRequestType & recipient_mask;
    const bool configured = configuration_ == configuration_value;
    auto reply = [&](const std::uint8_t* src, std::size_t n) {
        n = std::min<std::size_t>(n, s.wLength);
        if (n > 0)
            std::memcpy(data, src, n);
        r.stall = false;
        r.length = n;
    };
    auto reply_bytes = [&](const bytes& b) { reply(b.data(), b.size()); };
    auto accept = [&] { r.stall = false; };

    switch (s.bRequest) {
    case LIBUSB_REQUEST_GET_DESCRIPTOR: {
        if (!is_in(s) || recipient != LIBUSB_RECIPIENT_DEVICE)
            break;
        const unsigned type = s.wValue >> 8;
        const unsigned index = s.wValue & 0xff;
        if (type == LIBUSB_DT_DEVICE)
            reply_bytes(descriptors_.device);
        else if (type == LIBUSB_DT_CONFIG && index == 0)
            reply_bytes(descriptors_.configuration);
        else if (type == LIBUSB_DT_STRING && index < descriptors_.strings.size())
            reply_bytes(descriptors_.strings[index]);
        else if (type == device_qualifier_type && !descriptors_.qualifier.empty())
            reply_bytes(descriptors_.qualifier);
        else if (type == LIBUSB_DT_BOS && !descriptors_.bos.empty())
            reply_bytes(descriptors_.bos);
        break;
    }
    case LIBUSB_REQUEST_GET_STATUS: {
        if (!is_in(s))
            break;
        const std::uint8_t zero[2] = {0, 0};  // bus powered, no remote wakeup, endpoints not halted
        if (recipient == LIBUSB_RECIPIENT_DEVICE)
            reply(zero, sizeof zero);
        else if (recipient == LIBUSB_RECIPIENT_INTERFACE && configured && has_interface(s.wIndex))
            reply(zero, sizeof zero);
        else if (recipient == LIBUSB_RECIPIENT_ENDPOINT && (s.wIndex & 0x7f) == 0)
            reply(zero, sizeof zero);
        else if (recipient == LIBUSB_RECIPIENT_ENDPOINT && configured && is_bulk_endpoint(s.wIndex)) {
            const std::uint8_t halt[2] = {static_cast<std::uint8_t>(halted_flag(s.wIndex) ? 1 : 0), 0};
            reply(halt, sizeof halt);
        }
        break;
    }
    case LIBUSB_REQUEST_CLEAR_FEATURE:
        if (is_in(s))
            break;
        if (recipient == LIBUSB_RECIPIENT_ENDPOINT && s.wValue == feature_endpoint_halt &&
            configured && is_bulk_endpoint(s.wIndex)) {
            halted_flag(s.wIndex) = false;
            accept();
        }
        else if (recipient == LIBUSB_RECIPIENT_DEVICE && s.wValue == feature_remote_wakeup)
            accept();
        break;
    case LIBUSB_REQUEST_GET_CONFIGURATION:
        if (is_in(s) && recipient == LIBUSB_RECIPIENT_DEVICE) {
            const auto value = static_cast<std::uint8_t>(configuration_);
            reply(&value, 1);
        }
        break;
    case LIBUSB_REQUEST_SET_CONFIGURATION:
        if (!is_in(s) && recipient == LIBUSB_RECIPIENT_DEVICE && (s.wValue == 0 || s.wValue == configuration_value)) {
            configuration_ = s.wValue;
            accept();
        }
        break;
    case LIBUSB_REQUEST_GET_INTERFACE:
        if (is_in(s) && recipient == LIBUSB_RECIPIENT_INTERFACE && configured && has_interface(s.wIndex)) {
            const std::uint8_t alt = 0;
            reply(&alt, 1);
        }
        break;
    case LIBUSB_REQUEST_SET_INTERFACE:
        if (!is_in(s) && recipient == LIBUSB_RECIPIENT_INTERFACE && configured && has_interface(s.wIndex) &&
            s.wValue == 0)
            accept();
        break;
    default:
        break;
    }
    return r;
}

bool device::withdraw_locked(libusb_transfer* t) { return in_.withdraw(t) || out_.withdraw(t); }

transfer_list device::withdraw_owned_locked(const libusb_device_handle* owner)
{
    auto mine = [owner](libusb_transfer* t) { return t->dev_handle == owner; };
    transfer_list taken = in_.withdraw_if(mine);
    transfer_list outs = out_.withdraw_if(mine);
    taken.insert(taken.end(), outs.begin(), outs.end());
    return taken;
}

bool device::has_interface(int interface_number) const { return interface_number == download_interface; }

int device::claim_locked(const libusb_device_handle* owner, int interface_number, bool auto_detach)
{
    if (unplugged_)
        return LIBUSB_ERROR_NO_DEVICE;
    if (!has_interface(interface_number) || configuration_ != configuration_value)
        return LIBUSB_ERROR_NOT_FOUND;
    if (interface_owner_ != nullptr && interface_owner_ != owner)
        return LIBUSB_ERROR_BUSY;
    if (driver_bound_) {
        if (!auto_detach)
            return LIBUSB_ERROR_BUSY;
        driver_bound_ = false;
        reattach_on_release_ = true;
    }
    interface_owner_ = owner;
    return LIBUSB_SUCCESS;
}

int device::kernel_driver_active_locked(int interface_number) const
{
    if (unplugged_)
        return LIBUSB_ERROR_NO_DEVICE;
    if (!has_interface(interface_number))
        return LIBUSB_ERROR_NOT_FOUND;
    return driver_bound_ ? 1 : 0;
}

int device::detach_kernel_driver_locked(int interface_number)
{
    const int active = kernel_driver_active_locked(interface_number);
    if (active <= 0)
        return active < 0 ? active : LIBUSB_ERROR_NOT_FOUND;
    driver_bound_ = false;
    reattach_on_release_ = false;
    return LIBUSB_SUCCESS;
}

int device::attach_kernel_driver_locked(int interface_number)
{
    const int active = kernel_driver_active_locked(interface_number);
    if (active < 0)
        return active;
    if (active == 1 || interface_owner_ != nullptr)
        return LIBUSB_ERROR_BUSY;
    if (!faults_.driver_bound)
        return LIBUSB_ERROR_NOT_FOUND;  // no driver for this device exists
    driver_bound_ = true;
    return LIBUSB_SUCCESS;
}

int device::clear_halt_locked(const libusb_device_handle* owner, unsigned endpoint)
{
    if (unplugged_)
        return LIBUSB_ERROR_NO_DEVICE;
    if (!is_bulk_endpoint(endpoint) || interface_owner_ != owner)
        return LIBUSB_ERROR_NOT_FOUND;
    halted_flag(endpoint) = false;
    return LIBUSB_SUCCESS;
}

bool& device::halted_flag(unsigned endpoint) { return endpoint == bulk_in_address ? in_halted_ : out_halted_; }

void device::give_back_interface()
{
    interface_owner_ = nullptr;
    if (reattach_on_release_) {
        driver_bound_ = true;
        reattach_on_release_ = false;
    }
}

int device::release_locked(const libusb_device_handle* owner, int interface_number)
{
    if (!has_interface(interface_number) || interface_owner_ != owner)
        return LIBUSB_ERROR_NOT_FOUND;
    give_back_interface();
    return unplugged_ ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_SUCCESS;
}

void device::release_all_locked(const libusb_device_handle* owner)
{
    if (interface_owner_ == owner)
        give_back_interface();
}

bool device::claimed_by_locked(const libusb_device_handle* owner, int interface_number) const
{
    return has_interface(interface_number) && interface_owner_ == owner;
}

int device::set_configuration_locked(int value)
{
    if (unplugged_)
        return LIBUSB_ERROR_NO_DEVICE;
    if (value != -1 && value != 0 && value != configuration_value)
        return LIBUSB_ERROR_NOT_FOUND;
    // Changing (or re-setting) the configuration would pull claimed interfaces
    // from under their owner.
    if (interface_owner_ != nullptr)
        return LIBUSB_ERROR_BUSY;
    configuration_ = value <= 0 ? 0 : value;
    return LIBUSB_SUCCESS;
}

} // namespace vhandset
