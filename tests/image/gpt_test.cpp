// The sense of a partition table's entries: a table whose CRCs are right can
// still hold entries that end before they start, reach beyond the disk or
// overlap, and reading such a partition reads the wrong sectors.
#include "gpt.h"

#include <gtest/gtest.h>

namespace {

gpt_table table_of(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges, std::uint64_t last_usable = 1000)
{
    gpt_table t;
    t.header.first_usable = 34;
    t.header.last_usable = last_usable;
    std::uint32_t index = 0;
    for (const auto& [first, last] : ranges) {
        gpt_partition p;
        p.index = ++index;
        p.first = first;
        p.last = last;
        p.label = "p" + std::to_string(index);
        t.partitions.push_back(p);
    }
    return t;
}

TEST(GptEntries, EntriesThatMakeNoSenseAreNamed)
{
    struct case_ {
        const char* name;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
        std::uint64_t disk_sectors;
        std::vector<std::string> problems;
    };
    const case_ cases[] = {
        {"sound, touching", {{34, 99}, {100, 199}, {300, 1000}}, 1034, {}},
        {"ends before it starts", {{34, 99}, {200, 150}}, 1034, {"partition 2 (p2) ends at sector 150, before it starts at 200"}},
        {"beyond the disk", {{34, 99}, {100, 1034}}, 1034,
         {"partition 2 (p2) ends at sector 1034, beyond the disk's last sector 1033"}},
        {"beyond the table, disk size unknown", {{34, 1001}}, 0,
         {"partition 1 (p1) ends at sector 1001, beyond the last usable sector 1000"}},
        {"overlap", {{34, 99}, {90, 120}}, 1034, {"partitions 1 (p1) and 2 (p2) overlap at sectors 90 to 99"}},
        {"one inside another, listed out of order", {{500, 600}, {34, 999}, {550, 560}}, 1034,
         {"partitions 2 (p2) and 1 (p1) overlap at sectors 500 to 600",
          "partitions 2 (p2) and 3 (p3) overlap at sectors 550 to 560"}},
    };
    for (const case_& c : cases) {
        std::vector<std::string> texts;
        for (const gpt_entry_problem& p : gpt_entry_problems(table_of(c.ranges), c.disk_sectors))
            texts.push_back(p.text);
        EXPECT_EQ(texts, c.problems) << c.name;
    }
}

TEST(GptEntries, LabelsAreEscapedAndEachProblemNamesItsEntries)
{
    gpt_table t = table_of({{34, 99}, {90, 120}});
    t.partitions[1].label = "evil\x1b[2J";
    const std::vector<gpt_entry_problem> problems = gpt_entry_problems(t, 1034);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].entries, (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(problems[0].text, "partitions 1 (p1) and 2 (evil\\x1b[2J) overlap at sectors 90 to 99");
}

} // namespace
