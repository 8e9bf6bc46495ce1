#include "progress.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

class recorder : public progress_handler {
public:
    void started() override { events.push_back("started"); }
    void changed() override { events.push_back("changed " + std::to_string(value())); }
    void finished() override { events.push_back("finished"); }
    std::vector<std::string> events;
};

TEST(Progress, PercentRules)
{
    recorder h;
    EXPECT_EQ(h.percent(), 0u);  // max 0 never divides
    h.init(10);
    h.value(15);
    EXPECT_EQ(h.value(), 10u);
    EXPECT_EQ(h.percent(), 100u);
    h.init(3);
    h.value(1);
    EXPECT_EQ(h.percent(), 33u);
    h.value(2);
    EXPECT_EQ(h.percent(), 66u);
    h.init(200000000000000000ull);
    h.value(100000000000000000ull);
    EXPECT_EQ(h.percent(), 50u);
    h.init(UINT64_MAX);
    h.value(UINT64_MAX);
    EXPECT_EQ(h.percent(), 100u);
}

TEST(Progress, ReportCompletesAtDestruction)
{
    recorder h;
    h.message("kept");
    {
        progress p(h, 4);
        p.add(1);
        p.inc();
        p.message("step");
        p.add(100);  // clamps
    }
    EXPECT_EQ(h.message(), "step");
    const std::vector<std::string> expected{"started", "changed 1", "changed 2", "changed 2", "changed 4", "finished"};
    EXPECT_EQ(h.events, expected);

    h.events.clear();
    try {
        progress p(h, 10);
        p.update(3);
        throw std::runtime_error("boom");
    } catch (const std::runtime_error&) {
    }
    // A failure keeps the value it reached: no "100%" above the error.
    const std::vector<std::string> unwound{"started", "changed 3", "finished"};
    EXPECT_EQ(h.events, unwound);
}

TEST(Progress, GuardRefusesASecondUser)
{
    bool busy = false;
    {
        guard g(&busy);
        EXPECT_TRUE(busy);
        try {
            guard g2(&busy);
            FAIL();
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Object in use");
        }
        EXPECT_TRUE(busy);
    }
    EXPECT_FALSE(busy);
    guard again(&busy);
    EXPECT_TRUE(busy);
}

} // namespace
