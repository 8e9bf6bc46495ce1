#include "test_support.h"
#include "vhandset/firmware/sector_expression.h"
#include "vhandset/firmware/storage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>

using vhandset::evaluate_expression;
using vhandset::expression_context;
using vhandset::storage;

TEST(Storage, EmmcIsOneLunOf512ByteSectorsUfsSixOf4096)
{
    testsupport::temp_dir d;
    {
        storage e(d.path(), "eMMC", 1 << 20);
        EXPECT_EQ(e.memory_name(), "EMMC");
        EXPECT_EQ(e.sector_size(), 512u);
        EXPECT_EQ(e.lun_count(), 1u);
        EXPECT_EQ(e.num_sectors(), 2048u);
    }
    EXPECT_TRUE(std::filesystem::exists(d.path() / "lun0.img"));
    EXPECT_FALSE(std::filesystem::exists(d.path() / "lun1.img"));

    testsupport::temp_dir u;
    storage s(u.path(), "ufs", 8 << 20);
    EXPECT_EQ(s.sector_size(), 4096u);
    EXPECT_EQ(s.lun_count(), 6u);
    EXPECT_EQ(s.num_sectors(), 2048u);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(std::filesystem::file_size(u.path() / ("lun" + std::to_string(i) + ".img")), 8u << 20);
}

TEST(Storage, ImagesAreSparseAndReusedOnlyAtTheirSize)
{
    testsupport::temp_dir d;
    const unsigned char mark[4] = {1, 2, 3, 4};
    {
        storage s(d.path(), "emmc", 1ull << 30);  // 1 GiB that takes no room
        struct stat st {};
        ASSERT_EQ(stat((d.path() / "lun0.img").c_str(), &st), 0);
        EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 1u << 20);
        s.write(0, 4096, mark, sizeof mark);
    }
    {
        storage again(d.path(), "emmc", 1ull << 30);
        unsigned char back[4] = {};
        again.read(0, 4096, back, sizeof back);
        EXPECT_EQ(0, std::memcmp(back, mark, sizeof mark)) << "same size: the disk is kept";
    }
    storage other(d.path(), "emmc", 1 << 20);
    unsigned char back[4] = {9, 9, 9, 9};
    other.read(0, 4096, back, sizeof back);
    EXPECT_EQ(back[0] | back[1] | back[2] | back[3], 0) << "another size: a fresh disk";
}

TEST(Storage, ZerosStayHolesSoATenGibLunCostsOnlyItsData)
{
    testsupport::temp_dir d;
    constexpr std::uint64_t gib = 1ull << 30;
    storage s(d.path(), "emmc", 10 * gib);
    const std::vector<unsigned char> data(1 << 20, 0x5a);
    const std::vector<unsigned char> zeros(1 << 20, 0);
    s.write(0, 0, data.data(), data.size());
    s.write(0, 9 * gib + 512, data.data(), data.size());  // not aligned to a block
    for (int i = 0; i < 256; ++i)  // 256 MiB of padding as a host streams it
        s.write(0, gib + static_cast<std::uint64_t>(i) * zeros.size(), zeros.data(), zeros.size());
    for (int i = 0; i < 64; ++i)   // sector-sized zero writes over the hole
        s.write(0, 2 * gib + static_cast<std::uint64_t>(i) * 512, zeros.data(), 512);
    s.write(0, 0, zeros.data(), 4096 + 100);  // zeros over data: the data is gone

    struct stat st {};
    ASSERT_EQ(stat((d.path() / "lun0.img").c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), 10 * gib);
    EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 3u << 20) << "only the two data pieces take room";

    struct expected {
        std::uint64_t offset;
        unsigned char value;
    };
    for (const auto& e : std::vector<expected>{{0, 0}, {4095, 0}, {4096 + 99, 0}, {4096 + 100, 0x5a},
                                               {(1 << 20) - 1, 0x5a}, {9 * gib + 511, 0}, {9 * gib + 512, 0x5a},
                                               {9 * gib + 512 + (1 << 20) - 1, 0x5a}, {9 * gib + 512 + (1 << 20), 0}}) {
        unsigned char b = 0xee;
        s.read(0, e.offset, &b, 1);
        EXPECT_EQ(b, e.value) << "at " << e.offset;
    }
}

TEST(Storage, AccessOutsideALunIsRefused)
{
    testsupport::temp_dir d;
    storage s(d.path(), "ufs", 1 << 20);
    unsigned char b[8] = {};
    EXPECT_THROW(s.read(6, 0, b, 1), std::out_of_range);
    EXPECT_THROW(s.write(0, (1 << 20) - 4, b, 8), std::out_of_range);
    EXPECT_THROW(s.crc32(0, 256, 1), std::out_of_range);
    EXPECT_NO_THROW(s.write(5, (1 << 20) - 8, b, 8));
    EXPECT_TRUE(s.sectors_inside(255, 1));
    EXPECT_FALSE(s.sectors_inside(255, 2));
    EXPECT_FALSE(s.sectors_inside(1, ~std::uint64_t{0}));
}

TEST(Storage, Crc32MatchesTheStandardCheckValueAtASectorOffset)
{
    testsupport::temp_dir d;
    storage s(d.path(), "emmc", 1 << 20);
    const char digits[] = "123456789";
    s.write(0, 3 * 512, digits, 9);
    EXPECT_EQ(s.crc32(0, 3, 9), 0xCBF43926u);
    EXPECT_EQ(s.crc32(0, 3, 0), 0u);
}

TEST(SectorExpression, FormsSeenInPackages)
{
    expression_context c;
    c.num_disk_sectors = 1000;
    EXPECT_EQ(evaluate_expression("0", c), 0u);
    EXPECT_EQ(evaluate_expression("6", c), 6u);
    EXPECT_EQ(evaluate_expression("0x20", c), 32u);
    EXPECT_EQ(evaluate_expression("NUM_DISK_SECTORS-33.", c), 967u);
    EXPECT_EQ(evaluate_expression("NUM_DISK_SECTORS-1", c), 999u);
    EXPECT_EQ(evaluate_expression("NUM_DISK_SECTORS-1.", c), 999u);
    EXPECT_EQ(evaluate_expression("NUM_DISK_SECTORS-5.", c), 995u);
    EXPECT_EQ(evaluate_expression("(512*NUM_DISK_SECTORS)-16896.", c), 512000u - 16896u);
    EXPECT_EQ(evaluate_expression(" 2 + 3 * 4 ", c), 14u);
    EXPECT_EQ(evaluate_expression("0x100000000", c), 0x100000000u);
}

TEST(SectorExpression, Crc32TakesASectorExpressionAndAByteCount)
{
    expression_context c;
    c.num_disk_sectors = 1000;
    std::uint64_t seen_sector = 0, seen_len = 0;
    c.crc32 = [&](std::uint64_t sector, std::uint64_t len) {
        seen_sector = sector;
        seen_len = len;
        return 0xdeadbeefu;
    };
    EXPECT_EQ(evaluate_expression("CRC32(NUM_DISK_SECTORS-1.,92)", c), 0xdeadbeefu);
    EXPECT_EQ(seen_sector, 999u);
    EXPECT_EQ(seen_len, 92u);
    EXPECT_EQ(evaluate_expression("CRC32(2,16384)", c), 0xdeadbeefu);
    EXPECT_EQ(seen_sector, 2u);
    EXPECT_EQ(seen_len, 16384u);
}

TEST(SectorExpression, NonsenseIsRefusedNotGuessed)
{
    expression_context c;
    c.num_disk_sectors = 10;
    for (const char* bad : {"", "abc", "NUM_DISK_SECTORS-", "NUM_DISK_SECTORS-33", "5-6", "1/0", "(1", "1)",
                            "CRC32(1,2)", "NUM_DISK_SECTORSX", "0x", "99999999999999999999", "1..", "-1",
                            "18446744073709551615+1", "4294967296*4294967296"})
        EXPECT_THROW(evaluate_expression(bad, c), std::invalid_argument) << bad;
    std::string deep(100, '(');
    deep += "1" + std::string(100, ')');
    EXPECT_THROW(evaluate_expression(deep, c), std::invalid_argument);
}
