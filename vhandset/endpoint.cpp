#include "endpoint.h"

#include "transfer.h"

#include <algorithm>
#include <cstring>

namespace vhandset {

namespace {

void finish(libusb_transfer* t, libusb_transfer_status status, transfer_list& finished)
{
    t->status = status;
    finished.push_back(t);
}

bool remove_from(std::deque<libusb_transfer*>& q, libusb_transfer* t)
{
    auto it = std::find(q.begin(), q.end(), t);
    if (it == q.end())
        return false;
    q.erase(it);
    return true;
}

transfer_list remove_if(std::deque<libusb_transfer*>& q, const std::function<bool(libusb_transfer*)>& pick)
{
    transfer_list taken;
    for (auto it = q.begin(); it != q.end();) {
        if (!pick || pick(*it)) {
            taken.push_back(*it);
            it = q.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

} // namespace

in_endpoint::in_endpoint(unsigned max_packet, bool zlp, const usb_link* link)
    : max_packet_(max_packet), zlp_(zlp), link_(link)
{
}

void in_endpoint::write(const void* src, std::size_t len, transfer_list& finished)
{
    device_write w;
    const auto* p = static_cast<const std::uint8_t*>(src);
    w.data.assign(p, p + len);
    // An empty write is itself a zero-length packet.
    w.zero_packet_due = len == 0 || (zlp_ && len % max_packet_ == 0);
    writes_.push_back(std::move(w));
    pump(finished);
}

void in_endpoint::submit(libusb_transfer* t, transfer_list& finished)
{
    t->actual_length = 0;
    state_of(t).has_due = false;
    transfers_.push_back(t);
    pump(finished);
}

bool in_endpoint::withdraw(libusb_transfer* t) { return remove_from(transfers_, t); }

transfer_list in_endpoint::withdraw_if(const std::function<bool(libusb_transfer*)>& pick)
{
    return remove_if(transfers_, pick);
}

std::size_t in_endpoint::pending_bytes() const
{
    std::size_t n = 0;
    for (const auto& w : writes_)
        n += w.data.size() - w.taken;
    return n;
}

void in_endpoint::pump(transfer_list& finished)
{
    while (!transfers_.empty() && !writes_.empty()) {
        libusb_transfer* t = transfers_.front();
        device_write& w = writes_.front();

        const std::size_t packet = std::min<std::size_t>(max_packet_, w.data.size() - w.taken);
        if (packet == 0 && !w.zero_packet_due) {
            writes_.pop_front();
            continue;
        }
        const std::size_t room = static_cast<std::size_t>(t->length - t->actual_length);
        if (packet > room) {
            // Babble: the device sent more than the host asked for. The packet is lost.
            w.taken += packet;
            if (w.taken == w.data.size() && !w.zero_packet_due)
                writes_.pop_front();
            transfers_.pop_front();
            finish(t, LIBUSB_TRANSFER_OVERFLOW, finished);
            continue;
        }
        if (packet > 0) {
            std::memcpy(t->buffer + t->actual_length, w.data.data() + w.taken, packet);
            w.taken += packet;
            t->actual_length += static_cast<int>(packet);
        } else {
            w.zero_packet_due = false;
        }
        if (w.taken == w.data.size() && !w.zero_packet_due)
            writes_.pop_front();

        if (packet < max_packet_ || t->actual_length == t->length) {
            transfers_.pop_front();
            complete(t, finished);
        }
    }
}

void in_endpoint::complete(libusb_transfer* t, transfer_list& finished)
{
    if (link_ != nullptr) {
        // The data went as soon as both it and the transfer were there, and the
        // endpoint was free.
        auto& st = state_of(t);
        link_free_ = link_->finish(static_cast<std::uint64_t>(t->actual_length),
                                   std::max(link_free_, std::chrono::steady_clock::now()));
        st.has_due = true;
        st.due = link_free_;
    }
    finish(t, LIBUSB_TRANSFER_COMPLETED, finished);
}

out_endpoint::out_endpoint(unsigned max_packet, const usb_link* link) : max_packet_(max_packet), link_(link) {}

void out_endpoint::submit(libusb_transfer* t)
{
    t->actual_length = 0;
    auto& st = state_of(t);
    st.submitted = std::chrono::steady_clock::now();
    st.crossing_known = false;
    transfers_.push_back(t);
}

bool out_endpoint::withdraw(libusb_transfer* t) { return remove_from(transfers_, t); }

transfer_list out_endpoint::withdraw_if(const std::function<bool(libusb_transfer*)>& pick)
{
    return remove_if(transfers_, pick);
}

out_endpoint::take_result out_endpoint::take(std::uint8_t* dst, std::size_t max, transfer_list& finished,
                                             std::chrono::steady_clock::time_point now)
{
    take_result r;
    while (!transfers_.empty() && r.bytes < max) {
        libusb_transfer* t = transfers_.front();
        if (link_ != nullptr) {
            auto& st = state_of(t);
            if (!st.crossing_known) {
                link_free_ = link_->finish(static_cast<std::uint64_t>(t->length), std::max(st.submitted, link_free_));
                st.arrival = link_free_;
                st.crossing_known = true;
            }
            if (now < st.arrival) {
                r.arrives = st.arrival;
                break;
            }
        }
        const std::size_t left = static_cast<std::size_t>(t->length - t->actual_length);
        const std::size_t n = std::min(left, max - r.bytes);
        if (n > 0) {
            std::memcpy(dst + r.bytes, t->buffer + t->actual_length, n);
            t->actual_length += static_cast<int>(n);
            r.bytes += n;
        }
        if (t->actual_length < t->length)
            break;  // the device's buffer is full; the rest waits for the next receive
        transfers_.pop_front();
        finish(t, LIBUSB_TRANSFER_COMPLETED, finished);
        const bool short_end = t->length % max_packet_ != 0;
        if (t->length == 0 || short_end || state_of(t).zero_packet_after) {
            r.ended = true;
            break;
        }
    }
    return r;
}

} // namespace vhandset
