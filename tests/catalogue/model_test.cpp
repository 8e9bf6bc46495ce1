#include "model.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

std::string text_of(const usb_vidpid_t& id)
{
    char s[16];
    std::snprintf(s, sizeof s, "%04x:%04x", id.vid, id.pid);
    return s;
}

TEST(memory_type, names_and_parsing_are_exact_and_case_sensitive)
{
    EXPECT_STREQ(memory_type_name(1), "emmc");
    EXPECT_STREQ(memory_type_name(2), "ufs");
    EXPECT_STREQ(memory_type_name(0), "unknown");
    EXPECT_STREQ(memory_type_name(3), "unknown");
    EXPECT_STREQ(memory_type_name(0xFFFFFFFFu), "unknown");

    EXPECT_EQ(parse_memory_type("emmc"), 1u);
    EXPECT_EQ(parse_memory_type("ufs"), 2u);
    for (const char* other : {"EMMC", "UFS", "Ufs", "", "emmc ", "ufs2", "unknown"})
        EXPECT_EQ(parse_memory_type(other), 0u) << other;
}

TEST(model_row, full_row_fills_every_field)
{
    const model m("abc1,ufs,4096,18d1:d00d,5c6:901d,05c6:9039");
    EXPECT_EQ(m.name(), "abc1");
    EXPECT_EQ(m.memory_type(), 2u);
    EXPECT_EQ(m.sector_size(), 4096u);
    EXPECT_EQ(text_of(m.vidpid(model::fastboot)), "18d1:d00d");
    EXPECT_EQ(text_of(m.vidpid(model::diag)), "05c6:901d");
    EXPECT_EQ(text_of(m.vidpid(model::adb)), "05c6:9039");
}

TEST(model_row, short_rows_leave_the_rest_zero)
{
    const model name_only("solo");
    EXPECT_EQ(name_only.name(), "solo");
    EXPECT_EQ(name_only.memory_type(), 0u);
    EXPECT_EQ(name_only.sector_size(), 0u);
    for (unsigned i = 0; i < 3; ++i)
        EXPECT_EQ(text_of(name_only.vidpid(i)), "0000:0000");

    const model two("duo,emmc");
    EXPECT_EQ(two.name(), "duo");
    EXPECT_EQ(two.memory_type(), 1u);
    EXPECT_EQ(two.sector_size(), 0u);

    const model four("quad,ufs,512,5c6:900e");
    EXPECT_EQ(four.sector_size(), 512u);
    EXPECT_EQ(text_of(four.vidpid(model::fastboot)), "05c6:900e");
    EXPECT_EQ(text_of(four.vidpid(model::diag)), "0000:0000");

    const model empty("");
    EXPECT_EQ(empty.name(), "");
}

TEST(model_row, sector_size_is_read_like_atoi)
{
    EXPECT_EQ(model("a,ufs,x12").sector_size(), 0u);
    EXPECT_EQ(model("a,ufs,4096abc").sector_size(), 4096u);
    EXPECT_EQ(model("a,ufs, 512").sector_size(), 512u);
    EXPECT_EQ(model("a,ufs,").sector_size(), 0u);
    // Far out of range: defined, not a crash.
    EXPECT_NO_THROW(model("a,ufs,99999999999999999999999999"));
}

TEST(model_row, fields_after_the_sixth_are_ignored)
{
    const model m("seven,emmc,512,1:2,3:4,5:6,junk-without-colon,more");
    EXPECT_EQ(text_of(m.vidpid(model::adb)), "0005:0006");
}

TEST(model_row, capital_memory_type_is_unknown)
{
    EXPECT_EQ(model("big,UFS,4096").memory_type(), 0u);
    EXPECT_EQ(model("big,EMMC,512").memory_type(), 0u);
}

TEST(model_row, a_bad_identity_fails_the_row)
{
    EXPECT_THROW(model("bad,ufs,4096,18d1-d00d"), std::runtime_error);
    EXPECT_THROW(model("bad,ufs,4096,18d1:d00d,,5c6:9039"), std::runtime_error);
}

TEST(set_vidpid, hex_with_optional_prefixes)
{
    model m("x");
    m.set_vidpid(model::diag, "5c6:900e");
    EXPECT_EQ(m.vidpid(model::diag).vid, 0x05C6);
    EXPECT_EQ(m.vidpid(model::diag).pid, 0x900E);

    m.set_vidpid(model::adb, "0x05C6:0X9008");
    EXPECT_EQ(m.vidpid(model::adb).vid, 0x05C6);
    EXPECT_EQ(m.vidpid(model::adb).pid, 0x9008);

    m.set_vidpid(model::fastboot, "0X18D1:0xd00d");
    EXPECT_EQ(text_of(m.vidpid(model::fastboot)), "18d1:d00d");

    // Values wider than 16 bits keep their low 16 bits.
    m.set_vidpid(model::fastboot, "12345:abcdef");
    EXPECT_EQ(text_of(m.vidpid(model::fastboot)), "2345:cdef");

    // Hex digits stop at the first other character; text after the product is ignored.
    m.set_vidpid(model::fastboot, "18d1zz:d00dqq");
    EXPECT_EQ(text_of(m.vidpid(model::fastboot)), "18d1:d00d");
}

TEST(set_vidpid, missing_colon_fails_after_replacing_the_vendor)
{
    model m("x,emmc,512,1111:2222,1111:2222,1111:2222");
    try {
        m.set_vidpid(model::diag, "05c6-9008");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Bad vidpid");
    }
    EXPECT_EQ(m.vidpid(model::diag).vid, 0x05C6);
    EXPECT_EQ(m.vidpid(model::diag).pid, 0x2222);
    EXPECT_EQ(text_of(m.vidpid(model::adb)), "1111:2222");
}

TEST(set_vidpid, very_long_text_is_handled)
{
    model m("x");
    m.set_vidpid(model::adb, std::string(100000, 'f') + ":" + std::string(100000, '0') + "1");
    EXPECT_EQ(text_of(m.vidpid(model::adb)), "ffff:0001");
    EXPECT_THROW(m.set_vidpid(model::adb, std::string(100000, '1')), std::runtime_error);
}

} // namespace
