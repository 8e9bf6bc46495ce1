#include "hex.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(Hex, Decode)
{
    unsigned char out[8];
    EXPECT_EQ(hex_decode("0a 0B ff", out), 3);
    EXPECT_EQ(out[0], 0x0a);
    EXPECT_EQ(out[1], 0x0b);
    EXPECT_EQ(out[2], 0xff);
    EXPECT_EQ(hex_decode("0g", out), -1);
    EXPECT_EQ(hex_decode("abc", out), 1);
    EXPECT_EQ(out[0], 0xab);
    EXPECT_EQ(hex_decode("", out), 0);
}

TEST(Hex, EncodeAndBufferForms)
{
    const unsigned char bytes[] = {0x00, 0xab, 0x10};
    char out[16];
    hex_encode(bytes, 3, ":", out, true);
    EXPECT_STREQ(out, "00:ab:10:");
    hex_encode(bytes, 3, nullptr, out, false);
    EXPECT_STREQ(out, "00AB10");

    buffer b = hex_to_buffer("de ad BE EF");
    ASSERT_EQ(b.size(), 4u);
    EXPECT_EQ(buffer_to_hex(b, " "), "DE AD BE EF ");
    EXPECT_EQ(buffer_to_hex(b, ""), "DEADBEEF");
    try {
        hex_to_buffer("zz");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid hex string");
    }
}

} // namespace
