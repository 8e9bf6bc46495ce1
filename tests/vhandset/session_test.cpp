// The launcher's session: its configuration file and the control commands
// that plug handsets in and out.
#include "control_channel.h"
#include "session_config.h"
#include "test_support.h"

#include <fstream>

using namespace vhandset_test;

TEST_F(usb_test, SessionConfigurationSurvivesTheRoundTrip)
{
    std::filesystem::create_directories(dir);
    vhandset::session_config cfg;
    cfg.handsets = 3;
    cfg.options = {{"product", "Test = product"}, {"zlp", "off"}, {"serial", ""}};
    vhandset::write_session_config(dir, cfg);
    const auto back = vhandset::read_session_config(dir);
    EXPECT_EQ(back.handsets, 3u);
    EXPECT_EQ(back.options, cfg.options);
    const auto opts = back.handset();
    EXPECT_EQ(opts.product, "Test = product");
    EXPECT_FALSE(opts.zlp);

    cfg.options = {{"product", "two\nlines"}};
    EXPECT_THROW(vhandset::write_session_config(dir, cfg), std::invalid_argument);

    std::ofstream(vhandset::config_path(dir)) << "handsets=0\n";
    EXPECT_THROW(vhandset::read_session_config(dir), std::invalid_argument);
    std::ofstream(vhandset::config_path(dir)) << "no value here\n";
    EXPECT_THROW(vhandset::read_session_config(dir), std::runtime_error);
    std::ofstream(vhandset::config_path(dir)) << "no-such-option=1\n";
    EXPECT_THROW(vhandset::read_session_config(dir), std::invalid_argument);
    std::filesystem::remove(vhandset::config_path(dir));
    EXPECT_THROW(vhandset::read_session_config(dir), std::runtime_error);

    EXPECT_EQ(vhandset::handset_dir(dir, 1), dir);
    EXPECT_EQ(vhandset::handset_dir(dir, 2), dir / "handset2");
    EXPECT_EQ(vhandset::parse_handset_count("2"), 2u);
    EXPECT_THROW(vhandset::parse_handset_count("2x"), std::invalid_argument);
}

TEST_F(usb_test, ControlCommandsPlugNumberedHandsetsInAndOut)
{
    std::filesystem::create_directories(dir);
    vhandset::session_config cfg;
    cfg.handsets = 1;
    vhandset::write_session_config(dir, cfg);
    vhandset::session s(dir);
    s.start();
    ASSERT_EQ(vhandset::attached_handsets().size(), 1u);
    EXPECT_EQ(vhandset::attached_handsets()[0]->state_dir(), dir);

    EXPECT_EQ(s.execute("attach"), "ok attach 2");
    ASSERT_EQ(vhandset::attached_handsets().size(), 2u);
    EXPECT_EQ(vhandset::attached_handsets()[1]->state_dir(), dir / "handset2");
    EXPECT_TRUE(std::filesystem::is_directory(dir / "handset2"));

    EXPECT_EQ(s.execute("detach 1"), "ok detach 1");
    ASSERT_EQ(vhandset::attached_handsets().size(), 1u);
    EXPECT_EQ(s.execute("detach 1"), "error: handset 1 is not attached");
    // The lowest free number comes back, with its own state directory.
    EXPECT_EQ(s.execute("attach"), "ok attach 1");
    EXPECT_EQ(s.execute("detach"), "ok detach 1") << "without a number: the one plugged in last";
    EXPECT_EQ(s.execute("detach-all"), "ok detach-all");
    EXPECT_TRUE(vhandset::attached_handsets().empty());
    EXPECT_EQ(s.execute("detach"), "error: no handset is attached");
    EXPECT_EQ(s.execute("detach x"), "error: bad handset number 'x'");
    EXPECT_EQ(s.execute("plug"), "error: unknown command 'plug' (attach, detach [N], detach-all)");
}

TEST_F(usb_test, AFaultGivenToOneHandsetOfASessionReachesOnlyThatOne)
{
    std::filesystem::create_directories(dir);
    vhandset::session_config cfg;
    cfg.handsets = 3;
    cfg.options = {{"fault", "2:firehose:program:disconnect@3"}, {"fault", "firehose:nop:delay=5"}};
    vhandset::write_session_config(dir, cfg);
    vhandset::session s(dir);
    s.start();
    const auto on_bus = vhandset::attached_handsets();
    ASSERT_EQ(on_bus.size(), 3u);
    for (unsigned i = 0; i < 3; ++i) {
        std::vector<std::string> kinds;
        for (const auto& f : on_bus[i]->options().faults)
            kinds.push_back(f.kind);
        const std::vector<std::string> expected =
            i == 1 ? std::vector<std::string>{"disconnect", "delay"} : std::vector<std::string>{"delay"};
        EXPECT_EQ(kinds, expected) << "handset " << i + 1;
    }
}
