#include "test_support.h"
#include "vhandset/firmware/sahara_rom.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace vhtest;
using vhandset::handset_options;
using vhandset::parse_option;

namespace {

handset_options with(std::initializer_list<std::pair<const char*, const char*>> settings)
{
    handset_options o;
    o.startup_logs = 1;
    o.reset_delay_ms = 0;
    o.data_timeout_ms = 300;
    for (const auto& [k, v] : settings)
        parse_option(o, k, v);
    return o;
}

std::vector<std::uint32_t> next_packet(fake_link& link, unsigned timeout_ms = 3000)
{
    auto b = link.host_read(timeout_ms);
    if (!b)
        return {};
    return packet_words(*b);
}

// Checks that the requests fetched exactly the ELF header, the program header
// table and then every loadable byte range, in pieces of at most 4 KiB.
void expect_rom_order(const upload_result& up, const elf_fixture& elf, bool is64)
{
    const std::uint32_t wide = is64 ? 18 : 3;
    ASSERT_GE(up.requests.size(), 3u);
    std::size_t i = 0;
    EXPECT_EQ(up.requests[i].command, 3u);
    EXPECT_EQ(up.requests[i].packet_size, 20u);
    EXPECT_EQ(up.requests[i].offset, 0u);
    EXPECT_EQ(up.requests[i].count, 52u);
    if (is64) {
        ++i;
        EXPECT_EQ(up.requests[i].command, 18u);
        EXPECT_EQ(up.requests[i].offset, 0u);
        EXPECT_EQ(up.requests[i].count, 64u);
    }
    ++i;
    EXPECT_EQ(up.requests[i].offset, elf.phoff);
    EXPECT_EQ(up.requests[i].count, elf.phdr_bytes);
    ++i;
    for (const auto& load : elf.loads) {
        std::uint64_t covered = 0;
        while (covered < load.size) {
            ASSERT_LT(i, up.requests.size()) << "segment not fetched completely";
            const auto& q = up.requests[i++];
            EXPECT_EQ(q.offset, load.offset + covered);
            EXPECT_LE(q.count, 4096u);
            EXPECT_GT(q.count, 0u);
            covered += q.count;
        }
        EXPECT_EQ(covered, load.size);
    }
    EXPECT_EQ(i, up.requests.size()) << "fetched more than the loadable segments";
    for (const auto& q : up.requests) {
        if (&q == &up.requests.front())
            continue;
        EXPECT_EQ(q.command, wide);
        EXPECT_EQ(q.packet_size, is64 ? 32u : 20u);
        EXPECT_EQ(q.image_id, 13u);
    }
}

} // namespace

TEST(SaharaRom, HelloIsTheBootRomsFortyEightBytes)
{
    running_handset h(with({}));
    const auto hello = h.link().host_read();
    ASSERT_TRUE(hello);
    bytes expected = {0x01, 0, 0, 0, 0x30, 0, 0, 0, 0x02, 0, 0, 0, 0x01, 0, 0, 0, 0x00, 0x04, 0, 0, 0, 0, 0, 0};
    expected.resize(48, 0);
    EXPECT_EQ(*hello, expected);
}

TEST(SaharaRom, HelloCarriesConfiguredVersionAndMode)
{
    running_handset h(with({{"sahara-version", "3"}, {"sahara-mode", "3"}}));
    const auto w = next_packet(h.link());
    ASSERT_EQ(w.size(), 12u);
    EXPECT_EQ(w[2], 3u);
    EXPECT_EQ(w[5], 3u);
}

TEST(SaharaRom, Loads32BitProgrammerHeaderFirstThenSegmentsInPieces)
{
    running_handset h(with({}));
    const auto elf = make_elf(false, {10000, 300});
    ASSERT_TRUE(h.link().host_read());
    h.link().host_write(hello_resp());
    const auto up = serve_image(h.link(), elf.image);
    ASSERT_TRUE(up.ended);
    EXPECT_EQ(up.status, 0u);
    expect_rom_order(up, elf, false);

    h.link().host_write(packet_bytes({5, 8}));
    const auto done = h.link().host_read();
    ASSERT_TRUE(done);
    EXPECT_EQ(*done, packet_bytes({6, 12, 0}));

    firehose_host fh(h.link());
    EXPECT_FALSE(fh.next_document().empty()) << "the programmer did not start";

    const auto t = h.transcript();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.front(), "sahara HELLO_RESP version=2 compatible=1 status=0 mode=0");
    EXPECT_EQ(t[1], "sahara data offset=0 length=52");
    EXPECT_NE(std::find(t.begin(), t.end(), "sahara DONE"), t.end());
    const auto data_lines = std::count_if(t.begin(), t.end(), [](const std::string& l) {
        return l.rfind("sahara data ", 0) == 0;
    });
    EXPECT_EQ(static_cast<std::size_t>(data_lines), up.requests.size());
}

TEST(SaharaRom, Loads64BitProgrammerThroughReadData64)
{
    running_handset h(with({}));
    const auto elf = make_elf(true, {4096, 5000});
    ASSERT_TRUE(h.link().host_read());
    h.link().host_write(hello_resp());
    const auto up = serve_image(h.link(), elf.image);
    ASSERT_TRUE(up.ended);
    EXPECT_EQ(up.status, 0u);
    expect_rom_order(up, elf, true);
}

TEST(SaharaRom, ImagesThatAreNotElfAreRefused)
{
    struct bad_image {
        const char* what;
        std::function<void(bytes&)> spoil;
        std::uint32_t status;
    };
    const std::vector<bad_image> cases = {
        {"not ELF", [](bytes& b) { std::fill(b.begin(), b.end(), 0x55); }, 0x14},
        {"big endian", [](bytes& b) { b[5] = 2; }, 0x14},
        {"unknown class", [](bytes& b) { b[4] = 3; }, 0x14},
        {"no program headers", [](bytes& b) { b[44] = 0; }, 0x0E},
        {"odd program header size", [](bytes& b) { b[42] = 40; }, 0x0F},
        {"program header table missing", [](bytes& b) { b[28] = 0; }, 0x11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        running_handset h(with({}));
        auto elf = make_elf(false, {100});
        c.spoil(elf.image);
        ASSERT_TRUE(h.link().host_read());
        h.link().host_write(hello_resp());
        const auto up = serve_image(h.link(), elf.image);
        ASSERT_TRUE(up.ended);
        EXPECT_EQ(up.status, c.status);
    }
}

TEST(SaharaRom, SegmentBeyondItsMemoryIsRefused)
{
    running_handset h(with({}));
    auto elf = make_elf(false, {100});
    // The last program header's memsz (at +20) below its filesz.
    const std::size_t last = elf.phoff + 2 * 32;
    elf.image[last + 20] = 10;
    elf.image[last + 21] = 0;
    ASSERT_TRUE(h.link().host_read());
    h.link().host_write(hello_resp());
    const auto up = serve_image(h.link(), elf.image);
    ASSERT_TRUE(up.ended);
    EXPECT_EQ(up.status, 0x0Fu);
}

TEST(SaharaRom, HelloResponseIsChecked)
{
    struct bad_resp {
        const char* what;
        bytes packet;
        std::uint32_t status;
    };
    bytes short_resp = hello_resp();
    short_resp.resize(40);
    bytes wrong_length_word = hello_resp();
    wrong_length_word[4] = 0x2c;
    const std::vector<bad_resp> cases = {
        {"40 bytes", short_resp, 0x05},
        {"length word 0x2c", wrong_length_word, 0x05},
        {"DONE instead", packet_bytes({5, 8}), 0x01},
        {"unknown command", packet_bytes({0x30, 8}), 0x01},
        {"host version 0", hello_resp(0, 0), 0x04},
        {"host reports an error", hello_resp(2, 1, 7), 0x15},
        {"mode 9", hello_resp(2, 1, 0, 9), 0x18},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        running_handset h(with({}));
        ASSERT_TRUE(h.link().host_read());
        h.link().host_write(c.packet);
        const auto w = next_packet(h.link());
        ASSERT_EQ(w.size(), 4u);
        EXPECT_EQ(w[0], 4u);
        EXPECT_EQ(w[1], 16u);
        EXPECT_EQ(w[3], c.status);
    }
}

TEST(SaharaRom, HostVersionBelowTheRomsCompatibleIsRefused)
{
    running_handset h(with({{"sahara-version", "3"}, {"sahara-compatible", "3"}}));
    ASSERT_TRUE(h.link().host_read());
    h.link().host_write(hello_resp(2, 1));
    const auto w = next_packet(h.link());
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[3], 0x04u);
}

TEST(SaharaRom, ImageDataOfTheWrongLengthIsRefused)
{
    running_handset h(with({}));
    ASSERT_TRUE(h.link().host_read());
    h.link().host_write(hello_resp());
    const auto req = next_packet(h.link());
    ASSERT_EQ(req[0], 3u);
    h.link().host_write(make_elf(false, {100}).image.data(), 40);  // 52 asked for
    const auto w = next_packet(h.link());
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0], 4u);
    EXPECT_EQ(w[3], 0x0Bu);
    EXPECT_EQ(h.transcript().back(), "sahara data offset=0 length=40");
}

TEST(SaharaRom, MissingImageDataTimesOut)
{
    running_handset h(with({}));
    ASSERT_TRUE(h.link().host_read());
    h.link().host_write(hello_resp());
    ASSERT_EQ(next_packet(h.link())[0], 3u);
    const auto w = next_packet(h.link(), 2000);  // data timeout is 300 ms
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[3], 0x16u);
}

TEST(SaharaRom, ResetAfterAFailureAnswersAndLeavesTheBus)
{
    running_handset h(with({}));
    ASSERT_TRUE(h.link().host_read());
    h.link().host_write(hello_resp());
    serve_image(h.link(), bytes(200, 0x55));
    h.link().host_write(packet_bytes({7, 8}));
    const auto w = h.link().host_read();
    ASSERT_TRUE(w);
    EXPECT_EQ(*w, packet_bytes({8, 8}));
    EXPECT_TRUE(h.link().wait_detached(2000));
    EXPECT_TRUE(h.finished_within(2000));
    EXPECT_EQ(h.transcript().back(), "sahara RESET");
}

TEST(SaharaRom, MemoryDebugServesTheAnnouncedRegion)
{
    running_handset h(with({{"sahara-mode", "2"}}));
    ASSERT_EQ(next_packet(h.link())[5], 2u);
    h.link().host_write(hello_resp(2, 1, 0, 2));
    const auto ann = next_packet(h.link());
    ASSERT_EQ(ann.size(), 4u);
    EXPECT_EQ(ann[0], 9u);
    EXPECT_EQ(ann[2], vhandset::memory_debug_address);
    EXPECT_EQ(ann[3], vhandset::memory_debug_length);

    const std::uint32_t at = ann[2] + 0x100, len = 6000;
    h.link().host_write(packet_bytes({10, 16, at, len}));
    bytes got;
    while (got.size() < len) {
        auto b = h.link().host_read();
        ASSERT_TRUE(b);
        got.insert(got.end(), b->begin(), b->end());
    }
    ASSERT_EQ(got.size(), len);
    for (std::uint32_t i = 0; i < len; ++i)
        ASSERT_EQ(got[i], vhandset::memory_debug_byte(at + i)) << i;

    h.link().host_write(packet_bytes({10, 16, ann[2] + ann[3] - 4, 8}));  // runs past the end
    const auto err = next_packet(h.link());
    ASSERT_EQ(err.size(), 4u);
    EXPECT_EQ(err[3], 0x19u);
    EXPECT_EQ(h.transcript().back(), "sahara MEMORY_READ address=0xc00fffc length=0x8");
}

TEST(SaharaRom, MemoryDebug64AnnouncesWithWideFields)
{
    running_handset h(with({{"sahara-mode", "2"}, {"memory-debug-64", "on"}}));
    ASSERT_TRUE(h.link().host_read());
    h.link().host_write(hello_resp(2, 1, 0, 2));
    const auto ann = next_packet(h.link());
    ASSERT_EQ(ann.size(), 6u);
    EXPECT_EQ(ann[0], 16u);
    EXPECT_EQ(ann[1], 24u);
    EXPECT_EQ(ann[2] | (std::uint64_t{ann[3]} << 32), vhandset::memory_debug_address);
    EXPECT_EQ(ann[4] | (std::uint64_t{ann[5]} << 32), vhandset::memory_debug_length);
    const std::uint64_t at = vhandset::memory_debug_address + 7;
    h.link().host_write(packet_bytes({17, 24, static_cast<std::uint32_t>(at), 0, 3, 0}));
    const auto b = h.link().host_read();
    ASSERT_TRUE(b);
    EXPECT_EQ(*b, (bytes{vhandset::memory_debug_byte(at), vhandset::memory_debug_byte(at + 1),
                         vhandset::memory_debug_byte(at + 2)}));
}

TEST(SaharaRom, CommandModeSwitchesToImageTransferWithANewHello)
{
    running_handset h(with({{"sahara-mode", "3"}}));
    ASSERT_TRUE(h.link().host_read());
    h.link().host_write(hello_resp(2, 1, 0, 3));
    EXPECT_EQ(next_packet(h.link()), (std::vector<std::uint32_t>{11, 8}));
    h.link().host_write(packet_bytes({13, 12, 1}));  // command execution is not offered
    EXPECT_EQ(next_packet(h.link())[3], 0x1Fu);
    h.link().host_write(packet_bytes({12, 12, 0}));
    const auto hello = next_packet(h.link());
    ASSERT_EQ(hello.size(), 12u);
    EXPECT_EQ(hello[0], 1u);
    EXPECT_EQ(hello[5], 0u);
    h.link().host_write(hello_resp());
    const auto up = serve_image(h.link(), make_elf(false, {64}).image);
    EXPECT_TRUE(up.ended);
    EXPECT_EQ(up.status, 0u);
    const auto t = h.transcript();
    EXPECT_NE(std::find(t.begin(), t.end(), "sahara CMD_SWITCH_MODE mode=0"), t.end());
}

TEST(SaharaRom, ModeSwitchIsRefusedBeforeVersionTwo)
{
    running_handset h(with({{"sahara-mode", "3"}, {"sahara-version", "1"}}));
    ASSERT_TRUE(h.link().host_read());
    h.link().host_write(hello_resp(2, 1, 0, 3));
    EXPECT_EQ(next_packet(h.link())[0], 11u);
    h.link().host_write(packet_bytes({12, 12, 0}));
    EXPECT_EQ(next_packet(h.link())[3], 0x1Cu);
}

TEST(SaharaRom, SwitchInsteadOfImageDataIsHonoured)
{
    running_handset h(with({}));
    ASSERT_TRUE(h.link().host_read());
    h.link().host_write(hello_resp());
    ASSERT_EQ(next_packet(h.link())[0], 3u);
    h.link().host_write(packet_bytes({12, 12, 3}));
    const auto hello = next_packet(h.link());
    ASSERT_EQ(hello.size(), 12u);
    EXPECT_EQ(hello[5], 3u);
}

TEST(SaharaRomFaults, SilentHelloStillListens)
{
    running_handset h(with({{"fault", "sahara:hello:silence"}}));
    EXPECT_FALSE(h.link().host_read(300));
    h.link().host_write(hello_resp());
    EXPECT_EQ(next_packet(h.link())[0], 3u);
}

TEST(SaharaRomFaults, HelloWithBadLengthWord)
{
    running_handset h(with({{"fault", "sahara:hello:badlength"}}));
    const auto b = h.link().host_read();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->size(), 48u);
    EXPECT_EQ(packet_words(*b)[1], 0x34u);
}

TEST(SaharaRomFaults, EndOfImageStatusAfterTheImageOrInPlaceOfARequest)
{
    {
        running_handset h(with({{"fault", "sahara:image:status=0x0D"}}));
        const auto elf = make_elf(false, {100});
        ASSERT_TRUE(h.link().host_read());
        h.link().host_write(hello_resp());
        const auto up = serve_image(h.link(), elf.image);
        EXPECT_EQ(up.requests.size(), 3u) << "the whole image was fetched first";
        EXPECT_EQ(up.status, 0x0Du);
    }
    {
        running_handset h(with({{"fault", "sahara:image:status=0x22@2"}}));
        ASSERT_TRUE(h.link().host_read());
        h.link().host_write(hello_resp());
        const auto up = serve_image(h.link(), make_elf(false, {100}).image);
        EXPECT_EQ(up.requests.size(), 1u);
        EXPECT_EQ(up.status, 0x22u);
    }
}

TEST(SaharaRomFaults, RequestBeyondTheImage)
{
    {
        running_handset h(with({{"fault", "sahara:read:beyond@2"}}));
        ASSERT_TRUE(h.link().host_read());
        h.link().host_write(hello_resp());
        const auto up = serve_image(h.link(), make_elf(false, {100}).image);
        ASSERT_EQ(up.requests.size(), 2u);
        EXPECT_EQ(up.requests[1].offset, 0xffff0000u);
    }
    {
        running_handset h(with({{"fault", "sahara:read:beyond@3"}}));
        ASSERT_TRUE(h.link().host_read());
        h.link().host_write(hello_resp());
        const auto up = serve_image(h.link(), make_elf(true, {100}).image);
        ASSERT_EQ(up.requests.size(), 3u);
        EXPECT_EQ(up.requests[2].command, 18u);
        EXPECT_GT(up.requests[2].offset, 0xffffffffu);
    }
}

TEST(SaharaRomFaults, SilenceMidTransfer)
{
    running_handset h(with({{"fault", "sahara:read:silence@3"}}));
    ASSERT_TRUE(h.link().host_read());
    h.link().host_write(hello_resp());
    const auto up = serve_image(h.link(), make_elf(false, {100}).image, 400);
    EXPECT_FALSE(up.ended);
    EXPECT_EQ(up.requests.size(), 2u);
}
