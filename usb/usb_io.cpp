#include "usb.h"
#include "usb_table.h"

#include "clock.h"
#include "log.h"

#include <libusb.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <sys/time.h>

namespace {

timeval until(time_point_us deadline, time_point_us now)
{
    const time_point_us left = time_diff(deadline, now);
    return timeval{static_cast<time_t>(left.seconds), static_cast<suseconds_t>(left.microseconds)};
}

// Runs libusb's event handling until the reception completes or the deadline
// passes.
void wait_for_reception(usb_pipe_record& p, time_point_us deadline)
{
    time_point_us now = monotonic_now();
    while (!p.done && time_before(now, deadline)) {
        timeval tv = until(deadline, now);
        libusb_handle_events_timeout_completed(nullptr, &tv, &p.done);
        now = monotonic_now();
    }
}

// Takes the completed reception: its length when it fits, else a libusb error
// code. A device that left the bus is told apart from other failures, so the
// caller can see that the link broke rather than that one transfer went wrong.
int take_reception(const usb_pipe_record& p, void* dst, std::size_t capacity)
{
    const libusb_transfer& t = *p.receive;
    if (t.status == LIBUSB_TRANSFER_NO_DEVICE)
        return LIBUSB_ERROR_NO_DEVICE;
    if (t.status != LIBUSB_TRANSFER_COMPLETED)
        return LIBUSB_ERROR_IO;
    const auto length = static_cast<std::size_t>(t.actual_length);
    if (length > capacity)
        return LIBUSB_ERROR_OVERFLOW;
    if (length > 0)
        std::memcpy(dst, t.buffer, length);
    return static_cast<int>(length);
}

} // namespace

long usb_read(int handle, int pipe, void* dst, std::size_t capacity)
{
    usb_pipe_record* p = usb_pipe_at(handle, pipe);
    if (!p || p->in_endpoint == 0) {
        errno = EBADF;
        return -1;
    }
    if (!dst && capacity > 0) {
        errno = EINVAL;
        return -1;
    }
    // An earlier resubmission failed: nothing would ever complete, so try again
    // now and report why it cannot be posted instead of waiting in vain.
    if (!p->done && !p->in_flight) {
        const int r = usb_submit_receive(*p);
        if (r < 0) {
            errno = usb_error_to_errno(r);
            return -1;
        }
    }
    const time_point_us deadline = time_add_ms(monotonic_now(), p->timeout_ms);
    for (;;) {
        wait_for_reception(*p, deadline);
        if (!p->done) {
            errno = ETIMEDOUT;
            return -1;
        }
        const int result = take_reception(*p, dst, capacity);
        p->done = false;
        if (usb_submit_receive(*p) < 0)
            log_error("usb_port_tx: failed to initiate transfer\n");
        if (result < 0) {
            errno = usb_error_to_errno(result);
            return -1;
        }
        // Zero-length packets end transfers; they are never data.
        if (result > 0) {
            errno = 0;
            return result;
        }
    }
}

long usb_write(int handle, int pipe, const void* src, std::size_t length)
{
    usb_pipe_record* p = usb_pipe_at(handle, pipe);
    if (!p || p->out_endpoint == 0) {
        errno = EBADF;
        return -1;
    }
    if (length > INT_MAX || (!src && length > 0)) {
        errno = EINVAL;
        return -1;
    }
    int sent = 0;
    // libusb takes a non-const pointer for both directions; OUT data is only read.
    auto* data = static_cast<unsigned char*>(const_cast<void*>(src));
    const int r = libusb_bulk_transfer(usb_slot_at(handle)->device, p->out_endpoint, data, static_cast<int>(length),
                                       &sent, p->timeout_ms);
    if (r < 0) {
        errno = usb_error_to_errno(r);
        return -1;
    }
    errno = 0;
    return sent;
}

namespace {

void LIBUSB_CALL mark_sent(libusb_transfer* t)
{
    *static_cast<int*>(t->user_data) = 1;
}

int sent_status(const libusb_transfer& t)
{
    switch (t.status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return t.actual_length == t.length ? 0 : LIBUSB_ERROR_IO;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    default:
        return LIBUSB_ERROR_IO;
    }
}

// The OUT transfers of one write stream: one crossing, one queued behind it.
// Whatever is still in flight when the stream ends is cancelled and waited for
// before the transfers are freed.
class out_queue {
public:
    static constexpr std::size_t depth = 2;

    out_queue()
    {
        for (slot& s : slots_) {
            s.transfer = libusb_alloc_transfer(0);
            if (s.transfer == nullptr)
                throw std::bad_alloc();
        }
    }
    out_queue(const out_queue&) = delete;
    out_queue& operator=(const out_queue&) = delete;
    ~out_queue()
    {
        for (slot& s : slots_)
            if (s.busy && !s.done)
                libusb_cancel_transfer(s.transfer);
        for (slot& s : slots_) {
            while (s.busy && !s.done)
                libusb_handle_events_completed(nullptr, &s.done);
            libusb_free_transfer(s.transfer);
        }
    }

    bool full() const { return submitted_ - finished_ == depth; }
    bool empty() const { return submitted_ == finished_; }

    int submit(libusb_device_handle* device, unsigned char endpoint, const void* data, std::size_t size,
               unsigned timeout_ms)
    {
        if (size > INT_MAX)
            return LIBUSB_ERROR_INVALID_PARAM;
        slot& s = slots_[submitted_ % depth];
        // libusb takes a non-const pointer for both directions; OUT data is only read.
        libusb_fill_bulk_transfer(s.transfer, device, endpoint, static_cast<unsigned char*>(const_cast<void*>(data)),
                                  static_cast<int>(size), mark_sent, &s.done, timeout_ms);
        s.done = 0;
        const int r = libusb_submit_transfer(s.transfer);
        if (r < 0)
            return r;
        s.busy = true;
        ++submitted_;
        return 0;
    }
    // Waits for the oldest transfer in flight; 0 when it was sent whole.
    int finish_oldest()
    {
        slot& s = slots_[finished_ % depth];
        while (!s.done)
            libusb_handle_events_completed(nullptr, &s.done);
        s.busy = false;
        ++finished_;
        return sent_status(*s.transfer);
    }

private:
    struct slot {
        libusb_transfer* transfer = nullptr;
        int done = 0;
        bool busy = false;
    };
    slot slots_[depth];
    std::size_t submitted_ = 0;
    std::size_t finished_ = 0;
};

} // namespace

int usb_write_stream(int handle, int pipe, const std::function<std::pair<const void*, std::size_t>()>& next)
{
    usb_pipe_record* p = usb_pipe_at(handle, pipe);
    if (!p || p->out_endpoint == 0) {
        errno = EBADF;
        return -1;
    }
    libusb_device_handle* device = usb_slot_at(handle)->device;
    out_queue queue;
    bool ended = false;
    int failure = 0;
    while (failure == 0) {
        while (!ended && !queue.full()) {
            const auto [data, size] = next();
            if (size == 0) {
                ended = true;
                break;
            }
            failure = queue.submit(device, p->out_endpoint, data, size, p->timeout_ms);
            if (failure != 0)
                break;
        }
        if (failure != 0 || queue.empty())
            break;
        failure = queue.finish_oldest();
    }
    if (failure != 0) {
        errno = usb_error_to_errno(failure);
        return -1;
    }
    errno = 0;
    return 0;
}

bool usb_read_all(int handle, int pipe, void* dst, std::size_t length)
{
    auto* at = static_cast<std::uint8_t*>(dst);
    std::size_t left = length;
    while (left > 0) {
        const long n = usb_read(handle, pipe, at, left);
        if (n < 1)
            return false;
        at += n;
        left -= static_cast<std::size_t>(n);
    }
    errno = 0;
    return true;
}

// Room for a whole reception, so that no stale transfer can overflow the
// scratch space and end the drain before the input has run dry.
bool usb_drain(int handle, int pipe)
{
    usb_pipe_record* p = usb_pipe_at(handle, pipe);
    if (!p || p->in_endpoint == 0) {
        errno = EBADF;
        return false;
    }
    const auto scratch = std::make_unique_for_overwrite<std::uint8_t[]>(usb_receive_size);
    while (usb_read(handle, pipe, scratch.get(), usb_receive_size) > 0) {
    }
    if (errno != ETIMEDOUT)
        return false;
    errno = 0;
    return true;
}
