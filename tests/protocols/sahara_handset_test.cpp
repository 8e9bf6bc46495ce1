// Sahara client against the virtual handset's boot ROM, through the real USB
// layer: what the ROM received (its transcript) and what the host reported.
#include "elf_image.h"
#include "error_text.h"
#include "handset_session.h"
#include "log_capture.h"
#include "sahara.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace {

using testsupport::error_text;
using testsupport::make_elf;

vhandset::handset_options with(const std::function<void(vhandset::handset_options&)>& change)
{
    vhandset::handset_options o;
    change(o);
    return o;
}

vhandset::handset_options with_fault(const std::string& fault)
{
    return with([&](vhandset::handset_options& o) { vhandset::parse_option(o, "fault", fault); });
}

void upload(sahara& s, const std::string& image)
{
    s.upload(reinterpret_cast<const std::uint8_t*>(image.data()), image.size());
}

std::uint8_t rom_memory_byte(std::uint64_t address)
{
    return static_cast<std::uint8_t>((address & 0xff) ^ ((address >> 8) & 0xff) ^ 0x5a);
}

class sahara_handset : public ::testing::Test {
protected:
    log_capture log;
};

TEST_F(sahara_handset, uploads_a_32_bit_programmer_piece_by_piece)
{
    handset_session h;
    sahara s;
    s.open(h.fresh_pipe());
    upload(s, make_elf(false, {5000, 100}));

    const std::vector<std::string> expected = {
        "sahara HELLO_RESP version=2 compatible=1 status=0 mode=0",
        "sahara data offset=0 length=52",
        "sahara data offset=52 length=64",  // two program headers
        "sahara data offset=116 length=4096",
        "sahara data offset=4212 length=904",
        "sahara data offset=5116 length=100",
        "sahara DONE",
    };
    EXPECT_EQ(h.transcript(), expected);
    EXPECT_EQ(log.count("I:sahara <<< 0x00000003\n"), 5u);
}

TEST_F(sahara_handset, uploads_a_64_bit_programmer_from_a_file)
{
    handset_session h;
    const std::string path = ::testing::TempDir() + "brv_programmer64.elf";
    {
        const std::string image = make_elf(true, {300});
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(image.data(), 1, image.size(), f);
        std::fclose(f);
    }
    sahara s;
    s.open(h.fresh_pipe());
    s.upload(path);
    std::remove(path.c_str());

    const std::vector<std::string> expected = {
        "sahara HELLO_RESP version=2 compatible=1 status=0 mode=0",
        "sahara data offset=0 length=52",
        "sahara data offset=0 length=64",  // the ROM looks again once it knows the class
        "sahara data offset=64 length=56",
        "sahara data offset=120 length=300",
        "sahara DONE",
    };
    EXPECT_EQ(h.transcript(), expected);
    EXPECT_EQ(log.count("I:sahara <<< 0x00000012\n"), 3u);  // READ_DATA_64
}

TEST_F(sahara_handset, refusals_of_the_rom_reach_the_caller)
{
    {
        handset_session h;
        sahara s;
        s.open(h.fresh_pipe());
        EXPECT_EQ(error_text([&] { upload(s, std::string(200, 'x')); }), "target error Invalid ELF header received");
    }
    {
        handset_session h(with_fault("sahara:read:beyond@2"));
        sahara s;
        s.open(h.fresh_pipe());
        EXPECT_EQ(error_text([&] { upload(s, make_elf(false, {64})); }), "target requested data beyond end of buffer");
    }
    {
        handset_session h(with_fault("sahara:image:status=0x0D"));
        sahara s;
        s.open(h.fresh_pipe());
        EXPECT_EQ(error_text([&] { upload(s, make_elf(false, {64})); }),
                  "target error Error while transmitting READ_DATA packet");
        EXPECT_TRUE(h.lines("sahara DONE").empty());
    }
}

TEST_F(sahara_handset, broken_or_missing_hello)
{
    {
        handset_session h(with_fault("sahara:hello:silence"));
        sahara s;
        EXPECT_EQ(error_text([&] { s.open(h.fresh_pipe()); }), std::strerror(ETIMEDOUT));
    }
    {
        handset_session h(with_fault("sahara:hello:badlength"));
        sahara s;
        EXPECT_EQ(error_text([&] { s.open(h.fresh_pipe()); }), "invalid packet length");
        EXPECT_TRUE(h.transcript().empty());  // nothing answered
    }
}

TEST_F(sahara_handset, memory_debug_mode_reads_rom_memory)
{
    for (bool wide : {false, true}) {
        SCOPED_TRACE(wide ? "64-bit fields" : "32-bit fields");
        handset_session h(with([&](vhandset::handset_options& o) {
            o.sahara_mode = 2;
            o.sahara_mem64 = wide;
        }));
        sahara s;
        s.open(h.fresh_pipe());
        EXPECT_EQ(s.is_mem64(), wide);
        EXPECT_TRUE(log.has("I:target memory address=0xc000000 length=0x10000\n"));

        const std::uint64_t address = 0x0c000ff8;
        const buffer got = s.memory_read(address, 5000);
        ASSERT_EQ(got.size(), 5000u);
        bool same = true;
        for (std::size_t i = 0; i < 5000; ++i)
            same = same && got.c_ptr()[i] == rom_memory_byte(address + i);
        EXPECT_TRUE(same);
        EXPECT_EQ(h.transcript().back(), std::string(wide ? "sahara MEMORY_READ_64" : "sahara MEMORY_READ") +
                                             " address=0xc000ff8 length=0x1388");
    }
}

TEST_F(sahara_handset, command_mode_switch_to_upload_and_reset)
{
    {
        handset_session h(with([](vhandset::handset_options& o) { o.sahara_mode = 3; }));
        sahara s;
        s.open(h.fresh_pipe());
        EXPECT_TRUE(log.has("I:target is ready\n"));
        upload(s, make_elf(false, {10}));
        const auto t = h.transcript();
        ASSERT_GE(t.size(), 3u);
        EXPECT_EQ(t[0], "sahara HELLO_RESP version=2 compatible=1 status=0 mode=3");
        EXPECT_EQ(t[1], "sahara CMD_SWITCH_MODE mode=0");
        EXPECT_EQ(t[2], "sahara HELLO_RESP version=2 compatible=1 status=0 mode=0");
        EXPECT_EQ(t.back(), "sahara DONE");
    }
    {
        handset_session h(with([](vhandset::handset_options& o) { o.sahara_mode = 3; }));
        sahara s;
        s.open(h.fresh_pipe());
        s.reset();
        EXPECT_EQ(h.transcript().back(), "sahara RESET");
        EXPECT_TRUE(h.device().wait_detached(2000));
    }
    {
        handset_session h(with([](vhandset::handset_options& o) { o.sahara_version = 1; }));
        sahara s;
        s.open(h.fresh_pipe());
        EXPECT_EQ(error_text([&] { s.reset(); }), "cannot switch modes");
        const auto t = h.transcript_of_at_least(1);
        ASSERT_EQ(t.size(), 1u);
        EXPECT_EQ(t[0], "sahara HELLO_RESP version=2 compatible=1 status=0 mode=0");
    }
}

} // namespace
