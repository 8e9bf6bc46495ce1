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

TEST(PartitionRules, EveryLabelGetsAFileNameOfItsOwn)
{
    using names = std::vector<std::string>;
    const std::pair<names, names> cases[] = {
        {{"xbl", "boot_a"}, {"xbl.img", "boot_a.img"}},
        {{"boot", "boot"}, {"boot_1.img", "boot_2.img"}},
        // A label given once keeps its name; the numbering steps round it.
        {{"boot", "boot_1", "boot"}, {"boot_2.img", "boot_1.img", "boot_3.img"}},
        // As a file system that ignores case sees them.
        {{"BOOT", "boot"}, {"BOOT.img", "boot_1.img"}},
        {{"modem", "MODEM_1", "modem"}, {"modem_2.img", "MODEM_1.img", "modem_3.img"}},
    };
    for (const auto& [labels, expected] : cases)
        EXPECT_EQ(distinct_file_names(labels), expected) << labels.front();
    EXPECT_THROW(distinct_file_names({"xbl", "../etc"}), std::runtime_error);
}

} // namespace
