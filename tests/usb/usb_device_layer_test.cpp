// The device layer against virtual handsets: handle and pipe tables, reception
// with time-outs, oversized transfers, unplugging, enumeration and strings.
#include "handset_fixture.h"

#include <cerrno>
#include <cstring>
#include <thread>

using namespace usbtest;

namespace {

constexpr std::uint32_t short_timeout_ms = 150;
// Scheduling slack for a loaded 2-core machine.
constexpr long slack_ms = 400;

class usb_layer : public handset_test {};

TEST_F(usb_layer, exclusive_open_needs_exactly_one_handset)
{
    errno = 0;
    EXPECT_EQ(usb_open_vidpid(edl_vidpid, true), -1);
    EXPECT_EQ(errno, ENODEV);

    attach();
    EXPECT_EQ(usb_open_vidpid(edl_vidpid, true), 0) << "a fresh table hands out slot 0";
    usb_close(0);

    attach();
    errno = 0;
    EXPECT_EQ(usb_open_vidpid(edl_vidpid, true), -1);
    EXPECT_EQ(errno, ENOTUNIQ);
    EXPECT_EQ(usb_open_vidpid(edl_vidpid, false), 0) << "without the flag the first one is taken";
}

TEST_F(usb_layer, open_vidpid_ignores_other_identities)
{
    auto other = debug_options();
    other.product_id = 0x900e;
    attach(other);
    EXPECT_EQ(usb_open_vidpid(edl_vidpid, true), -1);
    EXPECT_EQ(usb_open_vidpid(usb_pack_vidpid(0x05c6, 0x900e), true), 0);
}

TEST_F(usb_layer, handle_table_holds_256_devices)
{
    attach();
    usb_device_list list = nullptr;
    ASSERT_TRUE(usb_get_devices(&list));
    usb_device_list_guard release(list);
    ASSERT_NE(list[0], nullptr);
    libusb_device* device = list[0];

    for (int i = 0; i < usb_max_devices; ++i)
        ASSERT_EQ(usb_open(device), i) << "errno " << errno;
    errno = 0;
    EXPECT_EQ(usb_open(device), -1);
    EXPECT_EQ(errno, EMFILE);

    usb_close(17);
    EXPECT_EQ(usb_open(device), 17) << "the lowest free slot is reused";
}

TEST_F(usb_layer, device_holds_eight_pipes)
{
    attach();
    const int h = usb_open_vidpid(edl_vidpid, true);
    ASSERT_EQ(h, 0);
    for (int i = 0; i < usb_max_pipes; ++i)
        ASSERT_EQ(usb_open_pipe(h, download_interface), i) << "errno " << errno;
    errno = 0;
    EXPECT_EQ(usb_open_pipe(h, download_interface), -1);
    EXPECT_EQ(errno, ENFILE);

    usb_close_pipe(h, 3);
    EXPECT_EQ(usb_open_pipe(h, download_interface), 3);
    std::uint32_t ms = 0;
    EXPECT_TRUE(usb_get_timeout(h, 7, &ms)) << "closing one pipe leaves the others open";
}

TEST_F(usb_layer, pipes_sharing_an_interface_survive_each_other)
{
    attach();
    int h = -1, first = -1;
    ASSERT_NO_FATAL_FAILURE(open_and_greet(&h, &first));
    const int second = usb_open_pipe(h, download_interface);
    ASSERT_EQ(second, first + 1);
    usb_close_pipe(h, first);

    ASSERT_TRUE(usb_set_timeout(h, second, 1000));
    const auto resp = hello_response(mode_memory_debug);
    ASSERT_EQ(usb_write(h, second, resp.data(), resp.size()), static_cast<long>(resp.size())) << "errno " << errno;
    std::uint8_t buf[hello_size] = {};
    EXPECT_EQ(usb_read(h, second, buf, sizeof buf), static_cast<long>(memory_debug_size)) << "errno " << errno;
}

TEST_F(usb_layer, pipe_needs_a_matching_interface)
{
    attach();
    const int h = usb_open_vidpid(edl_vidpid, true);
    ASSERT_EQ(h, 0);
    for (const usb_interface_match wrong : {usb_interface_match{0xff, 0xff, 0x00}, usb_interface_match{0x08, 0x06, 0x50},
                                            usb_interface_match{-1, -1, -1}}) {
        errno = 0;
        EXPECT_EQ(usb_open_pipe(h, wrong), -1);
        EXPECT_EQ(errno, ENOENT);
    }
    EXPECT_EQ(usb_open_pipe(h, download_interface), 0) << "failed opens leave the pipe free";
}

TEST_F(usb_layer, bad_handles_and_pipes_are_refused)
{
    std::uint8_t byte = 0;
    std::uint32_t ms = 0;
    const int errno_before = errno = EINTR;
    usb_close(-1);
    EXPECT_EQ(errno, errno_before) << "closing -1 does nothing";

    for (int bad : {0, 5, usb_max_devices, -2}) {
        errno = 0;
        usb_close(bad);
        EXPECT_EQ(errno, EBADF) << bad;
        EXPECT_EQ(usb_open_pipe(bad, download_interface), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(usb_read(bad, 0, &byte, 1), -1);
        EXPECT_EQ(errno, EBADF);
    }

    attach();
    const int h = usb_open_vidpid(edl_vidpid, true);
    ASSERT_EQ(h, 0);
    for (int pipe : {-1, 0, usb_max_pipes}) {
        EXPECT_EQ(usb_read(h, pipe, &byte, 1), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(usb_write(h, pipe, &byte, 1), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_FALSE(usb_set_timeout(h, pipe, 1));
        EXPECT_EQ(errno, EBADF);
        EXPECT_FALSE(usb_get_timeout(h, pipe, &ms));
        EXPECT_EQ(errno, EBADF);
        EXPECT_FALSE(usb_drain(h, pipe));
        EXPECT_EQ(errno, EBADF);
    }
    usb_close_pipe(h, -1);  // ignored
    usb_close_pipe(h, 2);   // not in use: ignored
    usb_close(h);
    errno = 0;
    usb_close(h);
    EXPECT_EQ(errno, EBADF) << "a closed slot is free";
}

TEST_F(usb_layer, pipe_starts_with_default_timeout)
{
    attach();
    const int h = usb_open_vidpid(edl_vidpid, true);
    const int p = usb_open_pipe(h, download_interface);
    ASSERT_GE(p, 0);
    std::uint32_t ms = 0;
    ASSERT_TRUE(usb_get_timeout(h, p, &ms));
    EXPECT_EQ(ms, usb_default_timeout_ms);
    ASSERT_TRUE(usb_set_timeout(h, p, 500));
    ASSERT_TRUE(usb_get_timeout(h, p, &ms));
    EXPECT_EQ(ms, 500u);
}

TEST_F(usb_layer, silent_read_times_out_and_later_data_is_kept)
{
    attach();
    int h = -1, p = -1;
    ASSERT_NO_FATAL_FAILURE(open_and_greet(&h, &p));

    ASSERT_TRUE(usb_set_timeout(h, p, short_timeout_ms));
    std::uint8_t buf[hello_size] = {};
    const auto start = clock::now();
    errno = 0;
    EXPECT_EQ(usb_read(h, p, buf, sizeof buf), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    const long waited = elapsed_ms(start);
    EXPECT_GE(waited, static_cast<long>(short_timeout_ms) - 1);
    EXPECT_LT(waited, static_cast<long>(short_timeout_ms) + slack_ms);

    // The handset answers only now; the reception posted before is still there.
    const auto resp = hello_response(mode_memory_debug);
    ASSERT_EQ(usb_write(h, p, resp.data(), resp.size()), static_cast<long>(resp.size()));
    ASSERT_TRUE(usb_set_timeout(h, p, 2000));
    EXPECT_EQ(usb_read(h, p, buf, sizeof buf), static_cast<long>(memory_debug_size));
    EXPECT_EQ(word_at(buf, 0), cmd_memory_debug);
    EXPECT_EQ(word_at(buf, 2), debug_region);
}

TEST_F(usb_layer, read_returns_one_transfer_at_a_time)
{
    attach();
    int h = -1, p = -1;
    ASSERT_NO_FATAL_FAILURE(open_and_greet(&h, &p));
    ASSERT_NO_FATAL_FAILURE(enter_memory_debug(h, p));

    // 10000 bytes come as 4096 + 4096 + 1808.
    request_memory(h, p, 10000);
    std::vector<std::uint8_t> buf(usb_receive_size);
    EXPECT_EQ(usb_read(h, p, buf.data(), buf.size()), 4096);
    EXPECT_EQ(usb_read(h, p, buf.data(), buf.size()), 4096);
    EXPECT_EQ(usb_read(h, p, buf.data(), buf.size()), 1808);
    ASSERT_TRUE(usb_set_timeout(h, p, short_timeout_ms));
    EXPECT_EQ(usb_read(h, p, buf.data(), buf.size()), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST_F(usb_layer, oversized_transfer_overflows_and_is_dropped)
{
    attach();
    ASSERT_EQ(usb_open_vidpid(edl_vidpid, true), 0);
    const int p = usb_open_pipe(0, download_interface);
    ASSERT_GE(p, 0);
    ASSERT_TRUE(usb_set_timeout(0, p, 1000));

    std::uint8_t small[16] = {};
    errno = 0;
    EXPECT_EQ(usb_read(0, p, small, sizeof small), -1) << "the 48-byte HELLO does not fit";
    EXPECT_EQ(errno, EOVERFLOW);
    ASSERT_TRUE(usb_set_timeout(0, p, short_timeout_ms));
    std::uint8_t buf[hello_size] = {};
    EXPECT_EQ(usb_read(0, p, buf, sizeof buf), -1) << "the HELLO is gone";
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST_F(usb_layer, overflow_in_memory_debug_loses_only_that_transfer)
{
    attach();
    int h = -1, p = -1;
    ASSERT_NO_FATAL_FAILURE(open_and_greet(&h, &p));
    ASSERT_NO_FATAL_FAILURE(enter_memory_debug(h, p));

    request_memory(h, p, 600);
    request_memory(h, p, 20, 600);
    std::uint8_t buf[512] = {};
    EXPECT_EQ(usb_read(h, p, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EOVERFLOW);
    EXPECT_EQ(usb_read(h, p, buf, sizeof buf), 20) << "the next transfer is intact";
}

TEST_F(usb_layer, read_all_spans_transfers_but_not_into_oversized_ones)
{
    attach();
    int h = -1, p = -1;
    ASSERT_NO_FATAL_FAILURE(open_and_greet(&h, &p));
    ASSERT_NO_FATAL_FAILURE(enter_memory_debug(h, p));

    std::uint8_t whole[100] = {};
    request_memory(h, p, 100);
    ASSERT_EQ(usb_read(h, p, whole, sizeof whole), 100);

    std::uint8_t pieces[100] = {};
    request_memory(h, p, 60);
    request_memory(h, p, 40, 60);
    ASSERT_TRUE(usb_read_all(h, p, pieces, sizeof pieces)) << "errno " << errno;
    EXPECT_EQ(std::memcmp(whole, pieces, sizeof whole), 0);

    request_memory(h, p, 120);
    errno = 0;
    EXPECT_FALSE(usb_read_all(h, p, pieces, sizeof pieces));
    EXPECT_EQ(errno, EOVERFLOW);
}

// 128 sectors of 512 bytes fill one reception exactly; with zero-length
// packets on, the handset then sends one, which arrives as a reception of its
// own between the data and the closing response.
TEST_F(usb_layer, zero_length_packet_is_skipped_within_the_same_deadline)
{
    attach(programmer_options());
    int h = -1, p = -1;
    ASSERT_NO_FATAL_FAILURE(open_and_greet(&h, &p));
    ASSERT_NO_FATAL_FAILURE(boot_programmer(h, p));

    const std::string request = "<?xml version=\"1.0\" ?><data><read SECTOR_SIZE_IN_BYTES=\"512\" "
                                "num_partition_sectors=\"128\" physical_partition_number=\"0\" start_sector=\"0\"/></data>";
    ASSERT_EQ(usb_write(h, p, request.data(), request.size()), static_cast<long>(request.size()));
    ASSERT_TRUE(usb_set_timeout(h, p, 1000));
    std::vector<char> buf(usb_receive_size);
    const long ack = usb_read(h, p, buf.data(), buf.size());
    ASSERT_GT(ack, 0);
    EXPECT_NE(std::string(buf.data(), static_cast<std::size_t>(ack)).find("rawmode=\"true\""), std::string::npos);
    EXPECT_EQ(usb_read(h, p, buf.data(), buf.size()), static_cast<long>(usb_receive_size));
    const long closing = usb_read(h, p, buf.data(), buf.size());
    ASSERT_GT(closing, 0) << "errno " << errno;
    EXPECT_NE(std::string(buf.data(), static_cast<std::size_t>(closing)).find("rawmode=\"false\""), std::string::npos);
}

TEST_F(usb_layer, drain_discards_everything_pending)
{
    attach();
    int h = -1, p = -1;
    ASSERT_NO_FATAL_FAILURE(open_and_greet(&h, &p));
    ASSERT_NO_FATAL_FAILURE(enter_memory_debug(h, p));

    // Transfers far larger than one packet: none may stop the drain early.
    request_memory(h, p, 3 * 4096 + 7);
    ASSERT_TRUE(usb_set_timeout(h, p, short_timeout_ms));
    EXPECT_TRUE(usb_drain(h, p));
    std::uint8_t buf[hello_size] = {};
    EXPECT_EQ(usb_read(h, p, buf, sizeof buf), -1);
    EXPECT_EQ(errno, ETIMEDOUT);

    request_memory(h, p, 16);
    ASSERT_TRUE(usb_set_timeout(h, p, 1000));
    EXPECT_EQ(usb_read(h, p, buf, sizeof buf), 16) << "the pipe still works";
}

TEST_F(usb_layer, unplug_during_read_reports_no_device)
{
    auto handset = attach();
    int h = -1, p = -1;
    ASSERT_NO_FATAL_FAILURE(open_and_greet(&h, &p));
    ASSERT_TRUE(usb_set_timeout(h, p, 5000));

    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        vhandset::detach(handset);
    });
    std::uint8_t buf[hello_size] = {};
    const auto start = clock::now();
    errno = 0;
    const long n = usb_read(h, p, buf, sizeof buf);
    const int err = errno;
    unplug.join();
    EXPECT_EQ(n, -1);
    EXPECT_EQ(err, ENODEV);
    EXPECT_LT(elapsed_ms(start), 100 + slack_ms) << "the read must not wait out its time-out";

    // The link stays broken, and says so at once.
    const auto again = clock::now();
    EXPECT_EQ(usb_read(h, p, buf, sizeof buf), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(usb_write(h, p, buf, sizeof buf), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_LT(elapsed_ms(again), slack_ms);

    const auto closing = clock::now();
    usb_close(h);
    EXPECT_LT(elapsed_ms(closing), slack_ms);
}

TEST_F(usb_layer, closing_after_unplug_does_not_hang)
{
    auto handset = attach();
    const int h = usb_open_vidpid(edl_vidpid, true);
    ASSERT_GE(usb_open_pipe(h, download_interface), 0);
    ASSERT_GE(usb_open_pipe(h, download_interface), 0);
    vhandset::detach(handset);
    const auto start = clock::now();
    usb_close(h);
    EXPECT_LT(elapsed_ms(start), slack_ms);
    errno = 0;
    usb_close(h);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(usb_layer, closed_pipe_can_be_opened_again)
{
    attach();
    int h = -1, p = -1;
    ASSERT_NO_FATAL_FAILURE(open_and_greet(&h, &p));
    ASSERT_NO_FATAL_FAILURE(enter_memory_debug(h, p));
    usb_close_pipe(h, p);  // cancels the pending reception
    std::uint32_t ms = 0;
    EXPECT_FALSE(usb_get_timeout(h, p, &ms));

    const int again = usb_open_pipe(h, download_interface);
    ASSERT_EQ(again, p);
    ASSERT_TRUE(usb_set_timeout(h, again, 1000));
    request_memory(h, again, 32);
    std::uint8_t buf[64] = {};
    EXPECT_EQ(usb_read(h, again, buf, sizeof buf), 32);
}

TEST_F(usb_layer, strings_come_from_the_device)
{
    auto opts = debug_options();
    opts.serial = "BRV0042";
    attach(opts);
    const int h = usb_open_vidpid(edl_vidpid, true);
    ASSERT_EQ(h, 0);
    char text[usb_string_size];
    ASSERT_TRUE(usb_get_manufacturer(h, text));
    EXPECT_STREQ(text, "Qualcomm CDMA Technologies MSM");
    ASSERT_TRUE(usb_get_product(h, text));
    EXPECT_STREQ(text, "QUSB__BULK");
    ASSERT_TRUE(usb_get_serial(h, text));
    EXPECT_STREQ(text, "BRV0042");

    EXPECT_FALSE(usb_get_serial(3, text));
    EXPECT_EQ(errno, EBADF);
    EXPECT_STREQ(text, "");
    EXPECT_FALSE(usb_get_product(-1, text));
    EXPECT_EQ(errno, EBADF);
}

TEST_F(usb_layer, enumeration_and_filters)
{
    auto other = debug_options();
    other.vendor_id = 0x18d1;
    other.product_id = 0xd00d;
    auto edl = attach();
    auto phone = attach(other);

    usb_device_list list = nullptr;
    ASSERT_TRUE(usb_get_devices(&list));
    usb_device_list_guard release(list);
    std::size_t count = 0;
    while (list[count])
        ++count;
    EXPECT_EQ(count, 2u);

    const usb_vidpid_t both[] = {{0x18d1, 0xd00d}, {0x05c6, 0x9008}, {0, 0}};
    EXPECT_TRUE(usb_filter_vidpid(&list, both));
    ASSERT_NE(list[1], nullptr);
    EXPECT_EQ(list[2], nullptr);

    const usb_vidpid_t edl_only[] = {{0x05c6, 0x9008}, {0, 0}, {0x18d1, 0xd00d}};
    EXPECT_TRUE(usb_filter_vidpid(&list, edl_only)) << "entries after the terminator do not count";
    ASSERT_NE(list[0], nullptr);
    EXPECT_EQ(list[1], nullptr);
    EXPECT_EQ(usb_device_vidpid(list[0]), 0x900805C6u);

    const usb_location here = usb_device_location(list[0]);
    EXPECT_EQ(here.bus, edl->bus_number());
    EXPECT_EQ(here.port, edl->port_number());
    EXPECT_EQ(here.address, edl->device_address());
    char text[64];
    usb_describe_device(list[0], text, sizeof text);
    EXPECT_EQ(std::string(text), std::to_string(here.bus) + ":" + std::to_string(here.port) + ":" +
                                     std::to_string(here.address) + " (05c6:9008)");

    const usb_location elsewhere[] = {{here.bus, here.port, static_cast<std::uint16_t>(here.address + 100)}, {0, 0, 0}};
    EXPECT_FALSE(usb_filter_location(&list, elsewhere));
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(list[0], nullptr) << "the list is empty, not left as it was";
}

TEST_F(usb_layer, location_filter_treats_zero_as_any)
{
    auto a = attach();
    auto b = attach();
    usb_device_list list = nullptr;
    ASSERT_TRUE(usb_get_devices(&list));
    usb_device_list_guard release(list);

    const usb_location only_b[] = {{0, 0, b->device_address()}, {0, 0, 0}};
    ASSERT_TRUE(usb_filter_location(&list, only_b));
    ASSERT_NE(list[0], nullptr);
    EXPECT_EQ(list[1], nullptr);
    EXPECT_EQ(usb_device_location(list[0]).address, b->device_address());
}

} // namespace
