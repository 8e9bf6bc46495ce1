// The USB 2.0 link model: its arithmetic, and the wall time transfers take
// through libusb when a handset has it.
#include "test_support.h"
#include "usb_link.h"

using namespace vhandset_test;

namespace {

constexpr std::uint64_t us = 1000;  // nanoseconds

// Rate of back-to-back transfers of `bytes`, each ready the moment the one
// before completed, in MB/s.
double back_to_back_rate(std::uint64_t bytes)
{
    constexpr int count = 100;
    std::uint64_t ready = 0;
    for (int i = 0; i < count; ++i)
        ready = vhandset::usb2_bulk_slot(bytes, ready).end_ns;
    return static_cast<double>(bytes) * count / (static_cast<double>(ready) / 1e9) / 1e6;
}

} // namespace

TEST(Usb2Link, TransfersStartOnTheNextMicroframeAndTakeWholeOnes)
{
    struct row {
        std::uint64_t bytes, ready_ns, start_ns, end_ns;
    };
    const row rows[] = {
        {512, 10 * us, 125 * us, 250 * us},       // one packet, one microframe
        {512, 125 * us, 250 * us, 375 * us},      // ready on a boundary: the next one
        {0, 0, 125 * us, 250 * us},               // a zero-length packet is a packet
        {13 * 512, 0, 125 * us, 250 * us},        // 13 packets still fit one microframe
        {13 * 512 + 1, 0, 125 * us, 375 * us},    // the 14th needs another
        {1 << 20, 0, 125 * us, (1 + 158) * 125 * us},  // 2048 packets: 158 microframes
    };
    for (const auto& r : rows) {
        const auto s = vhandset::usb2_bulk_slot(r.bytes, r.ready_ns);
        EXPECT_EQ(s.start_ns, r.start_ns) << r.bytes << " bytes ready at " << r.ready_ns;
        EXPECT_EQ(s.end_ns, r.end_ns) << r.bytes << " bytes ready at " << r.ready_ns;
    }
}

TEST(Usb2Link, SynchronousTransfersReachTheRatesOfARealLink)
{
    EXPECT_NEAR(back_to_back_rate(512), 2.05, 0.05);
    EXPECT_NEAR(back_to_back_rate(4096), 16.4, 0.1);
    EXPECT_NEAR(back_to_back_rate(1 << 20), 52.8, 0.3);
}

TEST_F(usb_test, TimedLinkMakesTransfersTakeTheirWallTimeBothWays)
{
    // Echo firmware: takes 1 MiB writes, answers each with 1 MiB.
    constexpr int mib = 1 << 20;
    vhandset::handset_options opts;
    opts.link = "usb2";
    plug(
        [](vhandset::device_link& link) {
            bytes in(mib);
            const bytes out = pattern(mib);
            for (;;) {
                bool timed_out = false;
                link.receive(in.data(), in.size(), 0, &timed_out);
                link.send(out.data(), out.size());
            }
        },
        opts);
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    constexpr int rounds = 6;
    bytes request = pattern(mib), reply(mib + 512);  // room for the zero-length packet that ends the reply
    const auto start = clock_type::now();
    for (int i = 0; i < rounds; ++i) {
        int n = 0;
        ASSERT_EQ(libusb_bulk_transfer(h, ep_out, request.data(), mib, &n, long_wait_ms), 0);
        ASSERT_EQ(libusb_bulk_transfer(h, ep_in, reply.data(), static_cast<int>(reply.size()), &n, long_wait_ms), 0);
        ASSERT_EQ(n, mib);
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start).count();
    // Per round, in microframes: 158 out and 158 in, each after an idle one.
    const std::int64_t model_us = rounds * 2 * 159 * 125;
    EXPECT_GE(elapsed, model_us);
    EXPECT_LE(elapsed, model_us * 7 / 4) << "the link model waits longer than the link";
}
