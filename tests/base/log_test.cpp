#include "log.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex captured_lock;
std::vector<std::string> captured;

void capture(const char* line)
{
    std::lock_guard<std::mutex> l(captured_lock);
    captured.emplace_back(line);
}

class Log : public ::testing::Test {
protected:
    void SetUp() override
    {
        captured.clear();
        set_log_sink(capture);
        saved_level_ = log_level;
    }
    void TearDown() override
    {
        set_log_sink(nullptr);
        log_level = saved_level_;
    }
    unsigned saved_level_ = 0;
};

TEST_F(Log, LevelZeroSilencesOnlyVerboseAndLeveledLines)
{
    log_level = 0;
    log_verbose("v %d\n", 1);
    log_at(1, "at\n");
    log_info("i %s\n", "x");
    log_error("e\n");
    ASSERT_EQ(captured.size(), 2u);
    EXPECT_EQ(captured[0], "I:i x\n");
    EXPECT_EQ(captured[1], "E:e\n");
}

TEST_F(Log, LevelThreshold)
{
    log_level = 3;
    log_verbose("v\n");
    log_at(3, "three\n");
    log_at(4, "four\n");
    ASSERT_EQ(captured.size(), 2u);
    EXPECT_EQ(captured[0], "V:v\n");
    EXPECT_EQ(captured[1], "I:three\n");
}

TEST_F(Log, LongMessagesAreCutAt1021Characters)
{
    const std::string msg(2000, 'x');
    log_info("%s", msg.c_str());
    ASSERT_EQ(captured.size(), 1u);
    EXPECT_EQ(captured[0].size(), 1023u);
    EXPECT_EQ(captured[0].substr(0, 3), "I:x");

    log_level = 3;
    log_at(2, "%s", msg.c_str());
    EXPECT_EQ(captured[1].size(), 1023u);
}

TEST_F(Log, LeveledTextIsNeverReinterpreted)
{
    log_level = 3;
    log_at(2, "firehose >>> %s\n", "<x value=\"%s%n%d\"/>");
    ASSERT_EQ(captured.size(), 1u);
    EXPECT_EQ(captured[0], "I:firehose >>> <x value=\"%s%n%d\"/>\n");
}

TEST_F(Log, HexdumpRows)
{
    unsigned char data[17];
    for (int i = 0; i < 17; ++i)
        data[i] = static_cast<unsigned char>(0x41 + i);
    data[16] = 0x07;
    hexdump(data, 17);
    ASSERT_EQ(captured.size(), 3u);
    EXPECT_EQ(captured[0], "I:hexdump: 17 bytes\n");
    const std::string row0 = captured[1];
    EXPECT_EQ(row0.substr(0, 8), "I:0000: ");
    const std::string work0 = row0.substr(8, 65);
    EXPECT_EQ(work0.substr(0, 6), "41 42 ");
    EXPECT_EQ(work0.substr(48, 16), "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(work0[64], ' ');
    const std::string row1 = captured[2];
    EXPECT_EQ(row1.substr(0, 8), "I:0010: ");
    const std::string work1 = row1.substr(8, row1.size() - 9);
    ASSERT_EQ(work1.size(), 65u);
    EXPECT_EQ(work1.substr(0, 2), "07");
    EXPECT_EQ(work1[48], '.');
    EXPECT_EQ(work1.find_first_not_of(' ', 2), 48u);
    EXPECT_EQ(work1.find_first_not_of(' ', 49), std::string::npos);

    captured.clear();
    hexdump(data, 0);
    ASSERT_EQ(captured.size(), 1u);
}

TEST_F(Log, StackTraceNamesCallers)
{
    void* frames[16];
    const int n = stack_trace(frames, 16);
    ASSERT_GT(n, 0);
    char** names = stack_symbols(frames, n);
    ASSERT_NE(names, nullptr);
    free(names);
}

} // namespace
