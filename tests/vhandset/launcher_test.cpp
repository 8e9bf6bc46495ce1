// brv-vhandset end to end: real programs linked against the real libusb see
// the emulated handsets through the preloaded library.
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

fs::path binary_dir()
{
    const char* d = std::getenv("BRV_BINARY_DIR");
    return d != nullptr ? fs::path(d) : fs::current_path().parent_path();
}

fs::path launcher() { return binary_dir() / "bin" / "brv-vhandset"; }
fs::path probe() { return binary_dir() / "tests" / "vhandset_probe"; }

struct outcome {
    int status = -1;
    std::string output;
};

// Runs a shell command line, capturing stdout and stderr together.
outcome run(const std::string& command)
{
    outcome o;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return o;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        o.output.append(buf, n);
    const int raw = ::pclose(p);
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return o;
}

bool has_line(const std::string& text, const std::string& pattern) { return std::regex_search(text, std::regex(pattern)); }

class launcher_test : public ::testing::Test {
protected:
    std::string with_launcher(const std::string& options, const std::string& program)
    {
        return launcher().string() + " --state " + state.string() + " " + options + " -- " + program;
    }

    testsupport::temp_dir scratch;
    const fs::path state = scratch / "state";
};

} // namespace

TEST_F(launcher_test, HelpListsLauncherAndHandsetOptionsAndTheControlChannel)
{
    const auto o = run(launcher().string() + " --help");
    EXPECT_EQ(o.status, 0);
    for (const char* word : {"--state DIR", "--handsets N", "DIR/handsetN", "attach", "detach [N]", "detach-all",
                             "control.log", "--max-packet", "--zlp", "--link none|usb2",
                             "13 bulk packets per 125 us microframe", "LINK usb3", "1 MiB transfers move about 436 MB/s"})
        EXPECT_NE(o.output.find(word), std::string::npos) << word;
}

TEST_F(launcher_test, BadOptionsAreRefusedBeforeTheProgramStarts)
{
    fs::create_directories(state);
    const auto marker = state / "ran";
    for (const char* bad : {"--zlp maybe", "--no-such-option 1", "--handsets 0"}) {
        const auto o = run(with_launcher(bad, "touch " + marker.string()));
        EXPECT_EQ(o.status, 2) << bad << ": " << o.output;
        EXPECT_NE(o.output.find("brv-vhandset: "), std::string::npos) << o.output;
        EXPECT_FALSE(fs::exists(marker)) << bad;
    }
    const auto none = run(launcher().string() + " --state " + state.string());
    EXPECT_EQ(none.status, 2);
}

TEST_F(launcher_test, OptionsAreWrittenToTheStateDirectoryForTheProgram)
{
    const auto o = run(with_launcher("--handsets 2 --product=Flash\\ Target --zlp off",
                                     "sh -c 'echo state=$BRV_VHANDSET_STATE; echo preload=$LD_PRELOAD'"));
    ASSERT_EQ(o.status, 0) << o.output;
    EXPECT_NE(o.output.find("state=" + fs::absolute(state).string()), std::string::npos) << o.output;
    EXPECT_TRUE(has_line(o.output, "preload=\\S*/lib/libvhandset\\.so")) << o.output;
    std::ifstream conf(state / "vhandset.conf");
    std::string text((std::istreambuf_iterator<char>(conf)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "handsets=2\nproduct=Flash Target\nzlp=off\n");
}

TEST_F(launcher_test, LsusbSeesTheDownloadInterface)
{
    const auto o = run(with_launcher("--manufacturer Acme\\ Phones --product Rescue\\ Port --serial 77",
                                     "lsusb -v -d 05c6:9008"));
    ASSERT_EQ(o.status, 0) << o.output;
    EXPECT_TRUE(has_line(o.output, "ID 05c6:9008")) << o.output;
    EXPECT_TRUE(has_line(o.output, "iManufacturer\\s+1 Acme Phones")) << o.output;
    EXPECT_TRUE(has_line(o.output, "iProduct\\s+2 Rescue Port")) << o.output;
    EXPECT_TRUE(has_line(o.output, "iSerial\\s+3 77")) << o.output;
    // A stalled debug-descriptor request is routine for lsusb; it complains only
    // when the failure does not look like a stall.
    EXPECT_EQ(o.output.find("can't get debug descriptor"), std::string::npos) << o.output;
    EXPECT_TRUE(has_line(o.output, "bInterfaceClass\\s+255")) << o.output;
    EXPECT_TRUE(has_line(o.output, "bInterfaceSubClass\\s+255"));
    EXPECT_TRUE(has_line(o.output, "bInterfaceProtocol\\s+255"));
    EXPECT_TRUE(has_line(o.output, "bEndpointAddress\\s+0x81\\s+EP 1 IN"));
    EXPECT_TRUE(has_line(o.output, "bEndpointAddress\\s+0x01\\s+EP 1 OUT"));
    EXPECT_EQ(std::regex_search(o.output, std::regex("Transfer Type\\s+Bulk")), true);
    EXPECT_TRUE(has_line(o.output, "wMaxPacketSize\\s+0x0200"));
}

TEST_F(launcher_test, LibusbProgramReadsManufacturerAndProductStrings)
{
    // Each handset of a session has a port path and a serial string of its own.
    auto o = run(with_launcher("--handsets 3", probe().string() + " list"));
    ASSERT_EQ(o.status, 0) << o.output;
    EXPECT_TRUE(has_line(o.output, "05c6:9008 bus=1 port=1 .*manufacturer=\"Qualcomm CDMA Technologies MSM\" "
                                   "product=\"QUSB__BULK\""))
        << o.output;
    for (const char* handset : {"port=1 address=\\d+ path=1 .*serial=\"VH00000001\"",
                                "port=2 address=\\d+ path=2 .*serial=\"VH00000002\"",
                                "port=3 address=\\d+ path=3 .*serial=\"VH00000003\""})
        EXPECT_TRUE(has_line(o.output, std::string("05c6:9008 bus=1 ") + handset)) << o.output;

    fs::remove_all(state);
    o = run(with_launcher("--manufacturer Acme --product Brick --serial 42", probe().string() + " list"));
    ASSERT_EQ(o.status, 0) << o.output;
    EXPECT_TRUE(has_line(o.output, "manufacturer=\"Acme\" product=\"Brick\" serial=\"42\"")) << o.output;
}

TEST_F(launcher_test, ControlChannelPlugsHandsetsInAndOutWhileTheProgramRuns)
{
    // The probe reports each handset count as it sees it; commands are sent
    // once the previous count has been seen.
    const std::string command = with_launcher("", probe().string() + " counts 1 2 1 0") + " 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    auto next_line = [p] {
        char line[256] = {};
        return std::fgets(line, sizeof line, p) != nullptr ? std::string(line) : std::string("(eof)");
    };
    auto send = [this](const std::string& cmd) { std::ofstream(state / "control") << cmd << "\n"; };

    EXPECT_EQ(next_line(), "count 1\n");
    send("attach");
    EXPECT_EQ(next_line(), "count 2\n");
    send("detach 1");
    EXPECT_EQ(next_line(), "count 1\n");
    send("detach-all");
    EXPECT_EQ(next_line(), "count 0\n");
    const int raw = ::pclose(p);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0);

    std::ifstream log(state / "control.log");
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    // The program may see the last unplug and exit before that command's line is written.
    EXPECT_EQ(text.rfind("ok attach 2\nok detach 1\n", 0), 0u) << text;
}

TEST_F(launcher_test, ProgramReadsTheBootRomHello)
{
    const auto o = run(with_launcher("", probe().string() + " hello"));
    ASSERT_EQ(o.status, 0) << o.output;
    // Command 1, length 0x30, then the rest of the 48-byte packet.
    EXPECT_TRUE(has_line(o.output, "^0100000030000000[0-9a-f]{80}\\n")) << o.output;
}
