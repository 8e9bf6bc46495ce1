#include "byte_order.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Bytes 01 02 .. 08 read in both orders, and written back to the same bytes.
TEST(ByteOrder, FieldsReadAndWriteInTheirOwnOrderWhateverTheHost)
{
    const std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(load_le16(bytes, 0), 0x0201u);
    EXPECT_EQ(load_le32(bytes, 0), 0x04030201u);
    EXPECT_EQ(load_le64(bytes, 0), 0x0807060504030201u);
    EXPECT_EQ(load_be32(bytes, 4), 0x05060708u);
    EXPECT_EQ(load_be64(bytes, 0), 0x0102030405060708u);

    std::vector<std::uint8_t> le(8), be(8);
    store_le64(le, 0, 0x0807060504030201u);
    store_be64(be, 0, 0x0102030405060708u);
    EXPECT_EQ(le, bytes);
    EXPECT_EQ(be, bytes);

    std::string appended;
    append_le16(appended, 0x0201);
    append_be32(appended, 0x03040506);
    EXPECT_EQ(appended, "\x01\x02\x03\x04\x05\x06");
}

TEST(ByteOrder, AFieldPastTheEndThrowsAndTouchesNothing)
{
    std::vector<std::uint8_t> bytes(6, 0xee);
    EXPECT_EQ(load_le32(bytes, 2), 0xeeeeeeeeu);
    try {
        load_le32(bytes, 3);
        ADD_FAILURE() << "read past the end";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "byte_order: 4 bytes at offset 3 of 6");
    }
    EXPECT_THROW(store_le64(bytes, 0, 0), std::out_of_range);
    EXPECT_THROW(load_le16(bytes, SIZE_MAX), std::out_of_range);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(6, 0xee));
}

} // namespace
