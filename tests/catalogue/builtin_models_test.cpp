#include "model.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>

namespace {

TEST(builtin_models, twenty_three_rows_with_the_expected_storage_mix)
{
    const auto& list = builtin_models();
    ASSERT_EQ(list.size(), 23u);
    int ufs_4096 = 0, ufs_512 = 0, emmc_512 = 0;
    for (const model& m : list) {
        if (m.memory_type() == memory_ufs && m.sector_size() == 4096)
            ++ufs_4096;
        else if (m.memory_type() == memory_ufs && m.sector_size() == 512)
            ++ufs_512;
        else if (m.memory_type() == memory_emmc && m.sector_size() == 512)
            ++emmc_512;
        else
            ADD_FAILURE() << m.name() << ": unexpected storage";
    }
    EXPECT_EQ(ufs_4096, 8);
    EXPECT_EQ(ufs_512, 5);
    EXPECT_EQ(emmc_512, 10);
}

TEST(builtin_models, names_are_unique_lower_case_with_digits_and_identities_are_set)
{
    std::set<std::string> names;
    for (const model& m : builtin_models()) {
        EXPECT_TRUE(names.insert(m.name()).second) << "duplicate " << m.name();
        bool digit = false;
        for (char c : m.name()) {
            EXPECT_TRUE(std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)))
                << m.name();
            digit |= std::isdigit(static_cast<unsigned char>(c)) != 0;
        }
        EXPECT_TRUE(digit) << m.name();
        for (unsigned i = 0; i < 3; ++i) {
            EXPECT_NE(m.vidpid(i).vid, 0) << m.name();
            EXPECT_NE(m.vidpid(i).pid, 0) << m.name();
        }
    }
}

} // namespace
