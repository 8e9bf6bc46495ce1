// Sahara client against a scripted boot ROM: exact packets on the wire, every
// refusal the ROM can give and the packet checks of the host.
#include "byte_order.h"
#include "error_text.h"
#include "log_capture.h"
#include "sahara.h"
#include "scripted_peer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <stdexcept>

namespace {

using scripted::peer;
using testsupport::error_text;


std::string words(std::initializer_list<std::uint64_t> list, std::size_t pad_to = 0)
{
    std::string out;
    for (std::uint64_t w : list)
        append_le32(out, static_cast<std::uint32_t>(w));
    if (out.size() < pad_to)
        out.resize(pad_to, '\0');
    return out;
}
std::string lo(std::uint64_t v) { return words({v & 0xffffffffu, v >> 32}); }

std::string hello(std::uint32_t version, std::uint32_t compatible, std::uint32_t mode)
{
    return words({1, 48, version, compatible, 0x400, mode}, 48);
}
std::string hello_resp(std::uint32_t mode) { return words({2, 48, 2, 1, 0, mode}, 48); }
std::string read_data(std::uint32_t offset, std::uint32_t count) { return words({3, 20, 13, offset, count}); }
std::string read_data_64(std::uint64_t offset, std::uint64_t count)
{
    return words({18, 32}) + lo(13) + lo(offset) + lo(count);
}
std::string end_of_image(std::uint32_t status) { return words({4, 16, 13, status}); }
std::string done_resp(std::uint32_t status) { return words({6, 12, status}); }
const std::string done = words({5, 8});

std::string image_bytes(std::size_t n)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 7 + 1);
    return s;
}

class sahara_scripted : public ::testing::Test {
protected:
    void SetUp() override { link.reset(); }
    void TearDown() override { link.reset(); }

    void upload(sahara& s, const std::string& image)
    {
        s.upload(reinterpret_cast<const std::uint8_t*>(image.data()), image.size());
    }

    peer& link = peer::current();
    log_capture log;
};

TEST_F(sahara_scripted, hello_response_echoes_the_mode_and_always_says_version_2)
{
    link.deliver(hello(3, 3, 0));
    sahara s;
    s.open(peer::current());

    EXPECT_EQ(link.timeout(), 500u);
    ASSERT_EQ(link.writes().size(), 1u);
    EXPECT_EQ(link.writes()[0], hello_resp(0));
    EXPECT_EQ(s.version(), 3u);
    EXPECT_TRUE(log.has("I:sahara <<< 0x00000001\n"));
    EXPECT_TRUE(log.has("I:sahara: device mode is 0\n"));
    EXPECT_TRUE(log.has("I:sahara >>> 0x00000002\n"));
}

TEST_F(sahara_scripted, upload_serves_requests_in_any_order_and_ends_with_done)
{
    const std::string image = image_bytes(100);
    link.deliver(hello(2, 1, 0));
    link.deliver(read_data(90, 10));  // the last 10 bytes
    link.deliver(read_data(0, 50));
    link.deliver(read_data_64(40, 20));  // overlapping an earlier piece
    link.deliver(read_data(0, 50));      // and repeating one
    link.deliver(end_of_image(0));
    link.deliver(done_resp(7));  // its status is not the host's business
    sahara s;
    s.open(peer::current());
    upload(s, image);

    const std::vector<std::string> expected = {hello_resp(0),         image.substr(90, 10), image.substr(0, 50),
                                               image.substr(40, 20), image.substr(0, 50),  done};
    EXPECT_EQ(link.writes(), expected);
}

TEST_F(sahara_scripted, requests_outside_the_image_are_refused)
{
    const std::string image = image_bytes(100);
    for (const std::string& request : {read_data(90, 11), read_data(101, 0), read_data(0xffffff00u, 0x200),
                                       read_data_64(0x100000000ull + 10, 1), read_data_64(10, 0xfffffffffffffff8ull)}) {
        link.reset();
        link.deliver(hello(2, 1, 0));
        link.deliver(request);
        sahara s;
        s.open(peer::current());
        EXPECT_EQ(error_text([&] { upload(s, image); }), "target requested data beyond end of buffer");
        EXPECT_EQ(link.writes().size(), 1u);  // nothing but the hello response
    }
}

TEST_F(sahara_scripted, end_of_image_status_becomes_the_target_error_text)
{
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0x0d, "target error Error while transmitting READ_DATA packet"},
        {0x14, "target error Invalid ELF header received"},
        {0x25, "target error Failed to authenticate generic image"},
        {0x26, "target error Unknown error"},
        {0x30, "target error Unknown error"},
    };
    for (const auto& [status, text] : cases) {
        link.reset();
        link.deliver(hello(2, 1, 0));
        link.deliver(read_data(0, 4));
        link.deliver(end_of_image(status));
        sahara s;
        s.open(peer::current());
        EXPECT_EQ(error_text([&] { upload(s, image_bytes(8)); }), text);
    }
    EXPECT_STREQ(sahara::error_string(0), "Success");
    EXPECT_STREQ(sahara::error_string(0x1f), "unsupported client command received");
}

TEST_F(sahara_scripted, wrong_packets_during_upload)
{
    link.deliver(hello(2, 1, 0));
    link.deliver(words({11, 8}));  // CMD_READY is no read request
    {
        sahara s;
        s.open(peer::current());
        EXPECT_EQ(error_text([&] { upload(s, image_bytes(8)); }), "unexpected command");
    }

    link.reset();
    link.deliver(hello(2, 1, 0));
    link.deliver(end_of_image(0));
    link.deliver(hello(2, 1, 0));  // instead of DONE_RESP
    sahara s;
    s.open(peer::current());
    EXPECT_EQ(error_text([&] { upload(s, image_bytes(8)); }), "bad done response");
    EXPECT_EQ(link.writes().back(), done);
}

TEST_F(sahara_scripted, packet_checks_of_the_receiver)
{
    const std::pair<std::string, const char*> cases[] = {
        {words({1}) + "abc", "failed to read packet"},  // 7 bytes
        {words({0, 8}), "invalid packet command"},
        {words({19, 8}), "invalid packet command"},
        {words({1, 0x34, 2, 1, 0x400, 0}, 48), "invalid packet length"},
        {words({1, 48, 2, 1, 0x400, 0}, 52), std::strerror(EOVERFLOW)},  // larger than a packet area
        {read_data(0, 1), "received unexpected command"},
    };
    for (const auto& [first, text] : cases) {
        link.reset();
        link.deliver(first);
        sahara s;
        EXPECT_EQ(error_text([&] { s.open(peer::current()); }), text);
        EXPECT_TRUE(link.writes().empty());
    }

    link.reset();
    sahara silent;
    EXPECT_EQ(error_text([&] { silent.open(peer::current()); }), std::strerror(ETIMEDOUT));
}

TEST_F(sahara_scripted, short_transfer_with_a_valid_length_word_reads_missing_fields_as_zero)
{
    link.deliver(words({1, 48, 2, 1, 0x400}));  // 20 bytes of a 48-byte HELLO: mode reads 0
    sahara s;
    s.open(peer::current());
    EXPECT_EQ(s.mode(), 0u);
    EXPECT_EQ(link.writes().at(0), hello_resp(0));
}

TEST_F(sahara_scripted, memory_debug_mode_reads_the_announced_region)
{
    link.deliver(hello(2, 1, 2));
    link.deliver(words({9, 16, 0x0c000000, 0x40}));
    sahara s;
    s.open(peer::current());
    EXPECT_FALSE(s.is_mem64());
    EXPECT_TRUE(log.has("I:target memory address=0xc000000 length=0x40\n"));

    link.deliver(std::string(24, 'm'));  // memory arrives unframed, in any pieces
    link.deliver(std::string(40, 'n'));
    const buffer got = s.memory_read();
    EXPECT_EQ(link.writes().back(), words({10, 16, 0x0c000000, 0x40}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.c_ptr()), got.size()),
              std::string(24, 'm') + std::string(40, 'n'));

    EXPECT_EQ(error_text([&] { s.memory_read(0x100000000ull, 4); }), "memory range beyond 32-bit fields");
}

TEST_F(sahara_scripted, memory_debug_64_uses_wide_reads)
{
    link.deliver(hello(2, 1, 2));
    link.deliver(words({16, 24}) + lo(0x123400000000ull) + lo(0x2000));
    sahara s;
    s.open(peer::current());
    EXPECT_TRUE(s.is_mem64());
    link.deliver(std::string(16, 'q'));
    const buffer got = s.memory_read(0x123400000010ull, 16);
    EXPECT_EQ(link.writes().back(), words({17, 24}) + lo(0x123400000010ull) + lo(16));
    EXPECT_EQ(got.size(), 16u);
}

TEST_F(sahara_scripted, end_of_image_in_place_of_the_mode_announcement)
{
    link.deliver(hello(2, 1, 2));
    link.deliver(end_of_image(0x18));
    sahara s;
    EXPECT_EQ(error_text([&] { s.open(peer::current()); }), "target error Invalid mode received from host");

    link.reset();
    link.deliver(hello(2, 1, 3));
    link.deliver(words({9, 16, 0, 0}));
    sahara t;
    EXPECT_EQ(error_text([&] { t.open(peer::current()); }), "received unexpected command");
}

TEST_F(sahara_scripted, command_mode_reset_and_switching_back_to_image_transfer)
{
    link.deliver(hello(2, 1, 3));
    link.deliver(words({11, 8}));
    sahara s;
    s.open(peer::current());
    EXPECT_TRUE(log.has("I:target is ready\n"));

    // Already in command mode: reset sends no switch.
    link.deliver(words({8, 8}));
    s.reset();
    EXPECT_EQ(link.writes().back(), words({7, 8}));
    EXPECT_EQ(link.writes().size(), 2u);

    // upload moves the target to image transfer first.
    link.deliver(hello(2, 1, 0));
    link.deliver(end_of_image(0));
    link.deliver(done_resp(0));
    upload(s, image_bytes(4));
    const auto& w = link.writes();
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[2], words({12, 12, 0}));
    EXPECT_EQ(w[3], hello_resp(0));
    EXPECT_EQ(s.mode(), 0u);
    EXPECT_TRUE(log.has("I:sahara: switching to mode 0\n"));

    link.deliver(hello(2, 1, 3));
    link.deliver(words({11, 8}));
    link.deliver(words({6, 12, 0}));  // not RESET_RESP
    EXPECT_EQ(error_text([&] { s.reset(); }), "bad reset response");
}

TEST_F(sahara_scripted, version_1_target_cannot_switch_modes)
{
    link.deliver(hello(1, 1, 0));
    sahara s;
    s.open(peer::current());
    EXPECT_EQ(error_text([&] { s.reset(); }), "cannot switch modes");
    EXPECT_EQ(link.writes().size(), 1u);
}

TEST_F(sahara_scripted, upload_from_a_path_maps_the_file)
{
    const std::string image = image_bytes(5000);
    const std::string path = ::testing::TempDir() + "brv_sahara_image.bin";
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(image.data(), 1, image.size(), f);
        std::fclose(f);
    }
    link.deliver(hello(2, 1, 0));
    link.deliver(read_data(4096, 904));
    link.deliver(end_of_image(0));
    link.deliver(done_resp(0));
    sahara s;
    s.open(peer::current());
    s.upload(path);
    std::remove(path.c_str());
    EXPECT_EQ(link.writes().at(1), image.substr(4096));

    sahara missing;
    link.reset();
    link.deliver(hello(2, 1, 0));
    missing.open(peer::current());
    EXPECT_EQ(error_text([&] { missing.upload(std::string("/nonexistent/brv/image")); }).rfind("file: cannot open: ", 0), 0u);
}

} // namespace
