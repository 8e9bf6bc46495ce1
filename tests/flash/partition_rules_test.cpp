#include "partition_rules.h"

#include <gtest/gtest.h>

namespace {

TEST(PartitionRules, SlotSuffixIsOneLetterAfterUnderscore)
{
    EXPECT_EQ(strip_slot_suffix("boot_a"), "boot");
    EXPECT_EQ(strip_slot_suffix("system_B"), "system");
    EXPECT_EQ(strip_slot_suffix("ab_1"), "ab_1");
    EXPECT_EQ(strip_slot_suffix("_a"), "_a");
    EXPECT_EQ(strip_slot_suffix("x_a"), "x");
    EXPECT_EQ(strip_slot_suffix("boot_ab"), "boot_ab");
    EXPECT_EQ(strip_slot_suffix(""), "");
}

TEST(PartitionRules, OsPartitionsAreTheEightNamesWithOrWithoutSlot)
{
    for (const char* os : {"boot", "recovery", "dtbo", "vbmeta", "vendor", "system", "cache", "userdata",
                           "boot_a", "boot_b", "userdata_b", "vendor_z"})
        EXPECT_FALSE(is_base_partition(os)) << os;
    for (const char* base : {"xbl", "xbl_a", "abl_b", "modem", "BOOT", "Boot_a", "boot_1", "bootloader",
                             "system_ab", "_a", "userdata2", ""})
        EXPECT_TRUE(is_base_partition(base)) << base;
}

} // namespace
