// Host-to-device data: how host OUT transfers reach the firmware's receives,
// and what the host sees when the firmware stops reading.
#include "test_support.h"

#include <cstring>
#include <future>

using namespace vhandset_test;

namespace {

// Firmware that records every receive of at most `max` bytes; when `stop_after`
// receipts are recorded it waits on `hold` before reading on.
std::function<void(vhandset::device_link&)> recorder(receipts& got, std::size_t max, gate* hold = nullptr,
                                                     std::size_t stop_after = 0, unsigned timeout_ms = 0)
{
    return [&got, max, hold, stop_after, timeout_ms](vhandset::device_link& link) {
        bytes buf(max);
        std::size_t count = 0;
        for (;;) {
            if (hold != nullptr && count == stop_after)
                hold->wait();
            bool timed_out = false;
            const std::size_t n = link.receive(buf.data(), max, timeout_ms, &timed_out);
            if (timed_out) {
                got.add(bytes{'T', 'O'});
                continue;
            }
            got.add(bytes(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n)));
            ++count;
        }
    };
}

int bulk_write(libusb_device_handle* h, const bytes& data, int* sent, unsigned timeout_ms = long_wait_ms)
{
    bytes copy = data;
    return libusb_bulk_transfer(h, ep_out, copy.data(), static_cast<int>(copy.size()), sent, timeout_ms);
}

bytes concat(const bytes& a, const bytes& b)
{
    bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

} // namespace

TEST_F(usb_test, ShortPacketEndsADeviceReceiveButAPacketMultipleDoesNot)
{
    receipts got;
    plug(recorder(got, 4096));
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    int sent = 0;
    const bytes a = pattern(1000, 1);
    ASSERT_EQ(bulk_write(h, a, &sent), 0);
    EXPECT_EQ(sent, 1000);
    auto r = got.wait_for(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], a);

    // 512 bytes fill a whole packet: the device keeps receiving into the same buffer.
    const bytes b = pattern(512, 2);
    const bytes c = pattern(100, 3);
    ASSERT_EQ(bulk_write(h, b, &sent), 0);
    ASSERT_EQ(bulk_write(h, c, &sent), 0);
    r = got.wait_for(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1], concat(b, c));
}

TEST_F(usb_test, ZeroLengthPacketEndsADeviceReceive)
{
    receipts got;
    plug(recorder(got, 4096));
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    int sent = -1;
    const bytes b = pattern(1024);
    ASSERT_EQ(bulk_write(h, b, &sent), 0);
    ASSERT_EQ(bulk_write(h, {}, &sent), 0);
    EXPECT_EQ(sent, 0);
    auto r = got.wait_for(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], b);

    // The same through an asynchronous transfer flagged to add the zero-length packet.
    libusb_transfer* t = libusb_alloc_transfer(0);
    bytes d = pattern(512, 4);
    std::atomic<bool> done{false};
    libusb_fill_bulk_transfer(
        t, h, ep_out, d.data(), 512, [](libusb_transfer* x) { *static_cast<std::atomic<bool>*>(x->user_data) = true; },
        &done, 0);
    t->flags = LIBUSB_TRANSFER_ADD_ZERO_PACKET;
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    pump_until(done);
    EXPECT_EQ(t->status, LIBUSB_TRANSFER_COMPLETED);
    libusb_free_transfer(t);
    r = got.wait_for(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1], pattern(512, 4));

    // A lone zero-length packet is a receive of 0 bytes.
    ASSERT_EQ(bulk_write(h, {}, &sent), 0);
    r = got.wait_for(3);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_TRUE(r[2].empty());
}

TEST_F(usb_test, DeviceReceiveStopsAtItsBufferSizeAndKeepsTheRest)
{
    receipts got;
    plug(recorder(got, 100));
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    const bytes data = pattern(250);
    int sent = 0;
    ASSERT_EQ(bulk_write(h, data, &sent), 0);
    EXPECT_EQ(sent, 250);
    const auto r = got.wait_for(3);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].size(), 100u);
    EXPECT_EQ(r[1].size(), 100u);
    EXPECT_EQ(r[2].size(), 50u);
    EXPECT_EQ(concat(concat(r[0], r[1]), r[2]), data);
}

TEST_F(usb_test, WriteTimesOutWhenTheFirmwareStopsReading)
{
    receipts got;
    plug(recorder(got, 512, &gate_, 1));
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    int sent = -1;
    const auto start = clock_type::now();
    EXPECT_EQ(bulk_write(h, pattern(2048), &sent, 100), LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(clock_type::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(sent, 512) << "only what the firmware took counts as sent";

    // The rest of the timed-out transfer is gone; the next transfer is what the firmware reads next.
    gate_.open();
    const bytes next = pattern(20, 99);
    ASSERT_EQ(bulk_write(h, next, &sent), 0);
    const auto r = got.wait_for(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1], next);
}

TEST_F(usb_test, DeviceReceiveReportsItsTimeOut)
{
    receipts got;
    plug(recorder(got, 512, nullptr, 0, 30));
    const auto r = got.wait_for(1);
    ASSERT_GE(r.size(), 1u);
    EXPECT_EQ(r[0], (bytes{'T', 'O'}));
}

TEST_F(usb_test, FirmwareCanTallyTheHostsTransfersBySize)
{
    std::promise<std::string> tallied;
    plug([&tallied](vhandset::device_link& link) {
        vhandset::transfer_tally tally;
        link.tally_out_transfers(&tally);
        bytes buf(4096);
        bool timed_out = false;
        link.receive(buf.data(), buf.size(), 0, &timed_out);  // ends at the short packet
        link.tally_out_transfers(nullptr);
        tallied.set_value(tally.text());
        idle_firmware(link);
    });
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    int sent = 0;
    for (std::size_t n : {512, 512, 100})
        ASSERT_EQ(bulk_write(h, pattern(n), &sent), 0);
    auto f = tallied.get_future();
    ASSERT_EQ(f.wait_for(std::chrono::milliseconds(long_wait_ms)), std::future_status::ready);
    EXPECT_EQ(f.get(), "3: 512x2 100");
}
