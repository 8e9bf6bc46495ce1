// Device-to-host data: how the firmware's writes end host IN transfers.
#include "test_support.h"

#include <thread>

using namespace vhandset_test;

namespace {

constexpr int big_read = 65536;

// Firmware that sends the given writes, in order, then idles.
std::function<void(vhandset::device_link&)> sender(std::vector<bytes> writes, gate* wait_first = nullptr)
{
    return [writes = std::move(writes), wait_first](vhandset::device_link& link) {
        if (wait_first != nullptr)
            wait_first->wait();
        for (const auto& w : writes)
            link.send(w.data(), w.size());
        idle_firmware(link);
    };
}

struct read_result {
    int status = 1;
    bytes data;
};

read_result bulk_read(libusb_device_handle* h, int capacity, unsigned timeout_ms = long_wait_ms)
{
    read_result r;
    r.data.resize(static_cast<std::size_t>(capacity));
    int n = -1;
    r.status = libusb_bulk_transfer(h, ep_in, r.data.data(), capacity, &n, timeout_ms);
    r.data.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return r;
}

struct async_read {
    libusb_transfer* t = libusb_alloc_transfer(0);
    bytes buffer;
    std::atomic<bool> done{false};

    async_read(libusb_device_handle* h, int capacity, unsigned timeout_ms = 0) : buffer(static_cast<std::size_t>(capacity))
    {
        libusb_fill_bulk_transfer(t, h, ep_in, buffer.data(), capacity, &async_read::finished, this, timeout_ms);
    }
    ~async_read() { libusb_free_transfer(t); }
    static void LIBUSB_CALL finished(libusb_transfer* t) { static_cast<async_read*>(t->user_data)->done = true; }
};

} // namespace

TEST_F(usb_test, WriteMadeBeforeTheHostReadsWaitsForTheFirstRead)
{
    const bytes hello = pattern(48);
    auto h0 = plug(sender({hello}));
    // The firmware has sent long before the host opens the pipe.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    const auto r = bulk_read(h, big_read);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.data, hello);
}

TEST_F(usb_test, ShortPacketEndsTheTransferAndWritesAreNotMerged)
{
    const bytes first = pattern(1000, 3);  // 512 + 488
    const bytes second = pattern(10, 9);
    plug(sender({first, second}));
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    auto r = bulk_read(h, big_read);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.data, first);
    r = bulk_read(h, big_read);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.data, second);
}

TEST_F(usb_test, FullBufferEndsTheTransferAndTheRestStaysQueued)
{
    const bytes data = pattern(2048);
    plug(sender({data}));
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    auto r = bulk_read(h, 1024);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.data, bytes(data.begin(), data.begin() + 1024));
    r = bulk_read(h, 1024);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.data, bytes(data.begin() + 1024, data.end()));
    // The write was a packet multiple: its zero-length packet ends a transfer of its own.
    r = bulk_read(h, big_read);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.data.empty());
}

TEST_F(usb_test, PacketMultipleWriteWithZeroLengthPacketCompletes)
{
    const bytes data = pattern(1024);
    plug(sender({data, pattern(5)}));
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    const auto r = bulk_read(h, big_read);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.data, data) << "the zero-length packet ends the transfer at 1024 bytes";
}

TEST_F(usb_test, PacketMultipleWriteWithoutZeroLengthPacketKeepsTheTransferOpen)
{
    vhandset::handset_options opts;
    opts.zlp = false;
    gate& second_write = gate_;
    plug(
        [&second_write](vhandset::device_link& link) {
            const bytes a = pattern(1024);
            link.send(a.data(), a.size());
            second_write.wait();
            const bytes b = pattern(10, 50);
            link.send(b.data(), b.size());
            idle_firmware(link);
        },
        opts);
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    async_read rd(h, big_read);
    ASSERT_EQ(libusb_submit_transfer(rd.t), 0);
    pump_until(rd.done, short_wait_ms);
    EXPECT_FALSE(rd.done) << "1024 bytes without a zero-length packet do not end a 64 KiB transfer";

    second_write.open();
    pump_until(rd.done);
    ASSERT_TRUE(rd.done);
    EXPECT_EQ(rd.t->status, LIBUSB_TRANSFER_COMPLETED);
    ASSERT_EQ(rd.t->actual_length, 1034);
    bytes expected = pattern(1024);
    const bytes tail = pattern(10, 50);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(bytes(rd.buffer.begin(), rd.buffer.begin() + 1034), expected);
}

TEST_F(usb_test, PacketLargerThanTheSpaceLeftOverflows)
{
    plug(sender({pattern(600)}));
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    const auto r = bulk_read(h, 100);
    EXPECT_EQ(r.status, LIBUSB_ERROR_OVERFLOW);
}

TEST_F(usb_test, ReadWithoutDataTimesOutAndLaterDataIsNotLost)
{
    gate& go = gate_;
    plug(sender({pattern(7)}, &go));
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    const auto start = clock_type::now();
    auto r = bulk_read(h, big_read, 50);
    const auto waited = clock_type::now() - start;
    EXPECT_EQ(r.status, LIBUSB_ERROR_TIMEOUT);
    EXPECT_TRUE(r.data.empty());
    EXPECT_GE(waited, std::chrono::milliseconds(50));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));

    go.open();
    r = bulk_read(h, big_read);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.data, pattern(7));
}

TEST_F(usb_test, FirmwareWritesWaitWhileMegabytesAreUnread)
{
    // A long read streams: the firmware cannot queue far ahead of the host.
    constexpr int pieces = 32;
    constexpr int piece = 1 << 20;
    std::atomic<int> sent{0};
    plug([&](vhandset::device_link& link) {
        const bytes b = pattern(piece);
        for (int i = 0; i < pieces; ++i) {
            link.send(b.data(), b.size());
            ++sent;
        }
        idle_firmware(link);
    });
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LE(sent.load(), 5) << "unread writes pile up";
    std::size_t total = 0;
    while (total < std::size_t{pieces} * piece) {
        const auto r = bulk_read(h, piece);
        ASSERT_EQ(r.status, 0);
        total += r.data.size();
    }
    const auto until = clock_type::now() + std::chrono::milliseconds(long_wait_ms);
    while (sent.load() < pieces && clock_type::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(sent.load(), pieces);
}
