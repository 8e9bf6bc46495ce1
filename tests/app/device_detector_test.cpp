// The detector driven by FLTK's timer loop (no window): the first check at
// once, later ones a second apart, reports only on changes. Which handsets
// count as present is usb_presence_test's subject.
#include "device_detector.h"
#include "handset_fixture.h"

#include <FL/Fl.H>

#include <vector>

using namespace usbtest;

namespace {

constexpr long poll_period_ms = 1000;
// Generous: CI runs two test programs at once on two cores, some under ASan.
constexpr long slack_ms = 600;

struct report {
    bool present;
    long at_ms;
};

class detector_test : public handset_test {
protected:
    static void on_presence(bool present, void* self)
    {
        auto* t = static_cast<detector_test*>(self);
        t->reports.push_back({present, elapsed_ms(t->start)});
    }

    // Runs the toolkit's loop for `ms` milliseconds.
    static void pump(long ms)
    {
        const auto until = clock::now() + std::chrono::milliseconds(ms);
        while (clock::now() < until)
            Fl::wait(0.02);
    }

    // Runs the loop until `count` reports arrived or `ms` passed.
    void pump_until(std::size_t count, long ms)
    {
        const auto until = clock::now() + std::chrono::milliseconds(ms);
        while (reports.size() < count && clock::now() < until)
            Fl::wait(0.02);
    }

    void begin(device_detector& d, std::vector<usb_vidpid_t> ids = {{0x05c6, 0x9008}})
    {
        start = clock::now();
        d.start(ids);
    }

    clock::time_point start = clock::now();
    std::vector<report> reports;
};

TEST_F(detector_test, handset_present_at_start_is_reported_at_once)
{
    attach();
    device_detector d(on_presence, this);
    EXPECT_FALSE(d.running());
    begin(d);
    EXPECT_TRUE(d.running());
    pump_until(1, poll_period_ms);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].present);
    EXPECT_LT(reports[0].at_ms, slack_ms);

    pump(poll_period_ms + slack_ms);
    EXPECT_EQ(reports.size(), 1u) << "an unchanged answer is not repeated";
}

TEST_F(detector_test, absence_is_never_reported_by_itself)
{
    device_detector d(on_presence, this);
    begin(d);
    pump(poll_period_ms + slack_ms);
    EXPECT_TRUE(reports.empty());
}

TEST_F(detector_test, arrival_and_removal_are_seen_at_the_next_poll)
{
    device_detector d(on_presence, this);
    begin(d);
    pump(200);  // the first poll has run and found nothing
    auto h = attach();
    pump_until(1, 2 * poll_period_ms);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].present);
    // Due one period after the first poll, not before and not much later.
    EXPECT_GE(reports[0].at_ms, poll_period_ms - 100);
    EXPECT_LT(reports[0].at_ms, poll_period_ms + slack_ms);

    const long removed_at = elapsed_ms(start);
    vhandset::detach(h);
    pump_until(2, 2 * poll_period_ms);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_FALSE(reports[1].present);
    EXPECT_LT(reports[1].at_ms - removed_at, poll_period_ms + slack_ms);
}

TEST_F(detector_test, a_running_start_replaces_the_identities_only)
{
    auto other = debug_options();
    other.product_id = 0x9025;
    attach(other);
    device_detector d(on_presence, this);
    begin(d);
    pump(300);
    EXPECT_TRUE(reports.empty());

    d.start({{0x05c6, 0x9008}, {0x05c6, 0x9025}});
    pump_until(1, poll_period_ms + slack_ms);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].present);
    EXPECT_GE(reports[0].at_ms, poll_period_ms - 100) << "a running start does not bring the poll forward";
}

TEST_F(detector_test, restart_gives_a_fresh_report_and_stop_silences)
{
    auto h = attach();
    device_detector d(on_presence, this);
    begin(d);
    pump_until(1, poll_period_ms);
    ASSERT_EQ(reports.size(), 1u);

    d.stop();
    EXPECT_FALSE(d.running());
    d.stop();  // stopping twice is harmless
    vhandset::detach(h);
    pump(poll_period_ms + slack_ms);
    EXPECT_EQ(reports.size(), 1u) << "a stopped detector does not poll";

    attach();
    begin(d);
    pump_until(2, poll_period_ms);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_TRUE(reports[1].present) << "present is reported again after a restart";
    EXPECT_LT(reports[1].at_ms, slack_ms);
}

TEST_F(detector_test, destroying_a_running_detector_removes_its_timer)
{
    attach();
    {
        device_detector d(on_presence, this);
        begin(d);
    }
    pump(300);  // a timer left behind would call into the destroyed detector
    EXPECT_TRUE(reports.empty());
}

} // namespace
