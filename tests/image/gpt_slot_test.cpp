// Editing a table copy's attributes on its bytes, and the A/B slot bits.
#include "ab_slot.h"
#include "flat_folder.h"
#include "gpt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

constexpr std::uint64_t disk_sectors = 4096;
constexpr std::uint32_t sector = testsupport::flat_folder::sector_size;

// The fixture's LUN 4 tables (boot, dtbo, vbmeta in pairs), in a folder removed afterwards.
class table_copy : public ::testing::Test {
protected:
    table_copy()
    {
        std::string templ = (std::filesystem::temp_directory_path() / "brv-gpt-XXXXXX").string();
        dir_ = ::mkdtemp(templ.data());
        const testsupport::flat_folder folder(dir_ / "fw", disk_sectors * sector);
        primary = folder.table_bytes(4, disk_sectors, true);
        backup = folder.table_bytes(4, disk_sectors, false);
    }
    ~table_copy() override { std::filesystem::remove_all(dir_); }

    // Reads sectors of a table copy laid at `first` on the disk.
    static gpt_sector_reader reader(const std::string& bytes, std::uint64_t first)
    {
        return [&bytes, first](std::uint64_t lba, std::uint32_t count) {
            const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data()) + (lba - first) * sector;
            return std::vector<std::uint8_t>(p, p + std::uint64_t{count} * sector);
        };
    }

    std::filesystem::path dir_;
    std::string primary;
    std::string backup;
};

TEST_F(table_copy, changed_attributes_keep_both_copies_valid_and_touch_nothing_else)
{
    struct copy_case {
        const std::string* bytes;
        std::uint64_t first;      // disk sector of the copy's first byte
        std::uint64_t header_lba;
    };
    const copy_case cases[] = {{&primary, 0, 1}, {&backup, disk_sectors - 5, disk_sectors - 1}};
    for (const copy_case& c : cases) {
        SCOPED_TRACE(c.header_lba);
        gpt_copy copy = read_gpt_copy(reader(*c.bytes, c.first), sector, c.header_lba, disk_sectors);
        const std::vector<std::uint8_t> old_array = copy.array;
        const std::vector<std::uint8_t> old_header = copy.header_sector;
        const gpt_partition boot_b = copy.partitions.at(1);
        ASSERT_EQ(boot_b.label, "boot_b");
        set_gpt_attributes(copy, boot_b.index, activated_slot(boot_b.attributes));

        // Read back from the edited bytes: both CRCs check out.
        std::string edited = *c.bytes;
        const std::size_t array_at = (copy.header.entries_lba - c.first) * sector;
        const std::size_t header_at = (c.header_lba - c.first) * sector;
        edited.replace(array_at, copy.array.size(), reinterpret_cast<const char*>(copy.array.data()), copy.array.size());
        edited.replace(header_at, sector, reinterpret_cast<const char*>(copy.header_sector.data()), sector);
        const gpt_copy again = read_gpt_copy(reader(edited, c.first), sector, c.header_lba, disk_sectors);
        EXPECT_EQ(again.partitions.at(1).attributes, 0x003f000000000000u);
        EXPECT_EQ(again.partitions.at(0).attributes, copy.partitions.at(0).attributes);

        // Only the entry's attribute field and the two CRC fields changed.
        for (std::size_t i = 0; i < old_array.size(); ++i) {
            if (old_array[i] != copy.array[i]) {
                EXPECT_TRUE(i >= 128 + 48 && i < 128 + 56) << "array byte " << i;
            }
        }
        for (std::size_t i = 0; i < old_header.size(); ++i) {
            if (old_header[i] != copy.header_sector[i]) {
                EXPECT_TRUE((i >= 16 && i < 20) || (i >= 88 && i < 92)) << "header byte " << i;
            }
        }
    }
    gpt_copy copy = read_gpt_copy(reader(primary, 0), sector, 1, disk_sectors);
    EXPECT_THROW(set_gpt_attributes(copy, 129, 0), std::out_of_range);
    EXPECT_THROW(set_gpt_attributes(copy, 0, 0), std::out_of_range);
}

TEST(ab_slot, labels_and_attribute_bits)
{
    struct label_case {
        const char* label;
        char slot;
        const char* pair;
    };
    const label_case labels[] = {{"boot_a", 'a', "boot"}, {"xbl_config_b", 'b', "xbl_config"},
                                 {"_a", 0, "_a"},        {"boot_c", 0, "boot_c"},
                                 {"userdata", 0, "userdata"}};
    for (const label_case& c : labels) {
        EXPECT_EQ(slot_of(c.label), c.slot) << c.label;
        EXPECT_EQ(slot_pair_name(c.label), c.pair) << c.label;
    }
    struct bits_case {
        std::uint64_t before;
        std::uint64_t activated;
        std::uint64_t deactivated;
    };
    const std::uint64_t other = 0x1000000000000001u;  // bits outside the slot byte stay
    const bits_case bits[] = {
        {0, 0x003f000000000000u, 0},
        {0x007f000000000000u | other, 0x003f000000000000u | other, 0x007a000000000000u | other},
        {0x0080000000000000u, 0x003f000000000000u, 0x0080000000000000u},  // unbootable stays unbootable
        {0x0001000000000000u, 0x003f000000000000u, 0x0001000000000000u},  // a lower priority is kept
    };
    for (const bits_case& c : bits) {
        EXPECT_EQ(activated_slot(c.before), c.activated) << std::hex << c.before;
        EXPECT_EQ(deactivated_slot(c.before), c.deactivated) << std::hex << c.before;
        EXPECT_EQ(slot_is_active(activated_slot(c.before)), true);
        EXPECT_EQ(slot_is_active(deactivated_slot(c.before)), false);
    }
}

} // namespace
