// The link models (USB 2.0 high speed, USB 3.0 SuperSpeed): their arithmetic,
// and the wall time transfers take through libusb when a handset has one.
#include "test_support.h"
#include "usb_link.h"

using namespace vhandset_test;

namespace {

constexpr std::uint64_t us = 1000;  // nanoseconds
constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t mib = 1024 * kib;

// Rate of back-to-back transfers of `bytes`, each ready the moment the one
// before completed, in MB/s.
double back_to_back_rate(const vhandset::link_timing& link, std::uint64_t bytes)
{
    constexpr int count = 100;
    std::uint64_t ready = 0;
    for (int i = 0; i < count; ++i)
        ready = vhandset::bulk_slot_for(link, bytes, ready).end_ns;
    return static_cast<double>(bytes) * count / (static_cast<double>(ready) / 1e9) / 1e6;
}

} // namespace

TEST(LinkModel, SlotsFollowMicroframesOnUsb2AndBurstsOnUsb3)
{
    struct row {
        const vhandset::link_timing& link;
        std::uint64_t bytes, ready_ns, start_ns, end_ns;
    };
    const auto& hs = vhandset::usb2_timing;
    const auto& ss = vhandset::usb3_timing;
    // A full SuperSpeed packet: 1072 symbols and 6 SKP symbols, 2 ns each.
    constexpr std::uint64_t ss_packet_ns = 2156;
    const row rows[] = {
        {hs, 512, 10 * us, 125 * us, 250 * us},            // one packet, one microframe
        {hs, 512, 125 * us, 250 * us, 375 * us},           // ready on a boundary: the next one
        {hs, 0, 0, 125 * us, 250 * us},                    // a zero-length packet is a packet
        {hs, 13 * 512, 0, 125 * us, 250 * us},             // 13 packets still fit one microframe
        {hs, 13 * 512 + 1, 0, 125 * us, 375 * us},         // the 14th needs another
        {hs, mib, 0, 125 * us, (1 + 158) * 125 * us},      // 2048 packets: 158 microframes
        {ss, 1024, 10 * us, 13 * us, 13 * us + ss_packet_ns + 3 * us},  // no frames: a round trip, then the packet
        {ss, 0, 0, 3 * us, 3 * us + 96 + 3 * us},          // 48 symbols of framing alone
        {ss, 16 * 1024, 0, 3 * us, 3 * us + 34'496 + 3 * us},  // 16 packets: one burst
        {ss, 16 * 1024 + 1, 0, 3 * us, 3 * us + 34'496 + 3 * us + 98 + 3 * us},  // the 17th waits for the ACK
    };
    for (const auto& r : rows) {
        const auto s = vhandset::bulk_slot_for(r.link, r.bytes, r.ready_ns);
        EXPECT_EQ(s.start_ns, r.start_ns) << r.link.name << ": " << r.bytes << " bytes ready at " << r.ready_ns;
        EXPECT_EQ(s.end_ns, r.end_ns) << r.link.name << ": " << r.bytes << " bytes ready at " << r.ready_ns;
    }
}

TEST(LinkModel, SynchronousTransfersReachTheRatesOfARealLink)
{
    struct row {
        const vhandset::link_timing& link;
        std::uint64_t bytes;
        double mb_per_s, tolerance;
    };
    const row rows[] = {
        {vhandset::usb2_timing, 512, 2.05, 0.05},
        {vhandset::usb2_timing, 4096, 16.4, 0.1},
        {vhandset::usb2_timing, mib, 52.8, 0.3},
        // The documented SuperSpeed band: 400 to 460 MB/s for large transfers.
        {vhandset::usb3_timing, mib, 436, 2},
        {vhandset::usb3_timing, 64 * kib, 428, 2},
        {vhandset::usb3_timing, 16 * kib, 405, 2},
        {vhandset::usb3_timing, 4096, 280, 2},
        {vhandset::usb3_timing, 512, 72, 1},
    };
    for (const auto& r : rows)
        EXPECT_NEAR(back_to_back_rate(r.link, r.bytes), r.mb_per_s, r.tolerance) << r.link.name << ", " << r.bytes;
}

TEST(LinkModel, LinkNamesAreNoneUsb2AndUsb3)
{
    EXPECT_EQ(vhandset::link_timing_named("none"), nullptr);
    EXPECT_EQ(vhandset::link_timing_named("usb2"), &vhandset::usb2_timing);
    EXPECT_EQ(vhandset::link_timing_named("usb3"), &vhandset::usb3_timing);
    EXPECT_THROW(vhandset::link_timing_named("usb4"), std::invalid_argument);
}

TEST_F(usb_test, TimedLinkMakesTransfersTakeTheirWallTimeBothWays)
{
    constexpr int size = 1 << 20;
    // Echo rounds through a fresh handset: 1 MiB out, 1 MiB back.
    auto echo = [&](const char* link_name, int rounds, std::int64_t& elapsed_us) {
        vhandset::handset_options opts;
        opts.link = link_name;
        auto handset = plug(
            [](vhandset::device_link& link) {
                bytes in(size);
                const bytes out = pattern(size);
                for (;;) {
                    bool timed_out = false;
                    link.receive(in.data(), in.size(), 0, &timed_out);
                    link.send(out.data(), out.size());
                }
            },
            opts);
        libusb_device_handle* h = open_claimed();
        ASSERT_NE(h, nullptr);
        bytes request = pattern(size), reply(size + 1024);  // room for the zero-length packet that ends the reply
        const auto start = clock_type::now();
        for (int i = 0; i < rounds; ++i) {
            int n = 0;
            ASSERT_EQ(libusb_bulk_transfer(h, ep_out, request.data(), size, &n, long_wait_ms), 0);
            ASSERT_EQ(libusb_bulk_transfer(h, ep_in, reply.data(), static_cast<int>(reply.size()), &n, long_wait_ms), 0);
            ASSERT_EQ(n, size);
        }
        elapsed_us = std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start).count();
        libusb_close(h);
        forget(h);
        vhandset::detach(handset);
    };
    struct row {
        const vhandset::link_timing& link;
        int rounds;  // enough that the link, not the start, sets the time
    };
    for (const row& r : {row{vhandset::usb2_timing, 6}, row{vhandset::usb3_timing, 40}}) {
        // What the host costs without a link: at SuperSpeed rates, copying the
        // data is no longer negligible (and far slower in sanitized builds).
        std::int64_t host_us = 0, elapsed_us = 0;
        echo("none", r.rounds, host_us);
        echo(r.link.name, r.rounds, elapsed_us);
        if (HasFatalFailure())
            return;
        // Per round: one transfer out and one in, each as on an idle link.
        const auto per_transfer_us = static_cast<std::int64_t>(vhandset::bulk_slot_for(r.link, size, 0).end_ns / us);
        const std::int64_t model_us = r.rounds * 2 * per_transfer_us;
        EXPECT_GE(elapsed_us, model_us) << r.link.name;
        EXPECT_LE(elapsed_us, model_us * 7 / 4 + 2 * host_us)
            << r.link.name << ": the link model waits longer than the link (host alone: " << host_us << " us)";
    }
}
