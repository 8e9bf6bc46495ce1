// The brv program as a user meets it, without a handset: packing, package
// information, verification, and the exit statuses of misuse.
#include "tool_env.h"

#include <gtest/gtest.h>

#include <regex>

using namespace tooltest;

namespace {

run_result brv(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    std::vector<std::string> argv = {brv_program().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv, env);
}

class BrvCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Not a flashable package (no programmer, no program file): --force.
        make_package_sources(dir / "src");
        const run_result r = brv({"pack", (dir / "src").string(), "-o", package().string(), "--force"});
        ASSERT_EQ(0, r.status) << r.err;
    }
    fs::path package() const { return dir / "p.brp"; }

    temp_dir dir;
};

} // namespace

TEST_F(BrvCli, PackTwiceGivesIdenticalPackages)
{
    const run_result r = brv({"pack", (dir / "src").string(), "-o", (dir / "again.brp").string(), "--force"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(read_bytes(package()), read_bytes(dir / "again.brp"));
    EXPECT_FALSE(fs::exists(dir / "again.brp.tmp"));
}

TEST_F(BrvCli, InfoShowsHeaderMetadataAndMembers)
{
    const run_result r = brv({"info", package().string()});
    ASSERT_EQ(0, r.status) << r.err;
    const std::uint64_t length = fs::file_size(package()) - 256;
    EXPECT_NE(std::string::npos, r.out.find("Data length:   " + std::to_string(length) + " bytes")) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("MD5: +[0-9a-f]{32}\n"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("SHA-256: +[0-9a-f]{64}\n"))) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Fixture Phone"));
    EXPECT_NE(std::string::npos, r.out.find("Memory type:   ufs"));
    EXPECT_NE(std::string::npos, r.out.find("  Fixture notes\n  second line\n"));
    EXPECT_NE(std::string::npos, r.out.find("Members: 5"));
    EXPECT_TRUE(std::regex_search(r.out, std::regex(" 204817 +[0-9]+  images/blob.bin\n"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(" 0 +[0-9]+  empty.txt\n"))) << r.out;
}

TEST_F(BrvCli, VerifyPassesOnlyAnIntactPackage)
{
    run_result r = brv({"verify", package().string()});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("OK"));

    std::vector<std::uint8_t> bytes = read_bytes(package());
    bytes[bytes.size() / 2] ^= 0x01;
    write_file(dir / "flipped.brp", bytes);
    r = brv({"verify", (dir / "flipped.brp").string()});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("verification failed: MD5 mismatch\n")) << r.err;

    bytes = read_bytes(package());
    bytes.resize(bytes.size() - 1);
    write_file(dir / "short.brp", bytes);
    r = brv({"verify", (dir / "short.brp").string()});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("fwpkg: bad file header")) << r.err;

    r = brv({"verify", (dir / "missing.brp").string()});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("cannot open")) << r.err;
}

TEST_F(BrvCli, InfoEscapesControlCharactersInMemberNames)
{
    write_file(dir / "src/images/evil\x1b[2J\nname.bin", "x");
    const run_result packed = brv({"pack", (dir / "src").string(), "-o", (dir / "evil.brp").string(), "--force"});
    ASSERT_EQ(0, packed.status) << packed.err;
    const run_result r = brv({"info", (dir / "evil.brp").string()});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("  images/evil\\x1b[2J\\x0aname.bin\n")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find('\x1b'));
}

TEST_F(BrvCli, VerboseSendsLogLinesToStderr)
{
    std::vector<std::uint8_t> bytes = read_bytes(package());
    bytes[300] ^= 0x80;
    write_file(dir / "flipped.brp", bytes);
    const run_result r = brv({"-v", "verify", (dir / "flipped.brp").string()});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("I:md5 mismatch\n")) << r.err;
    const run_result quiet = brv({"verify", (dir / "flipped.brp").string()});
    EXPECT_EQ(std::string::npos, quiet.err.find("md5 mismatch")) << quiet.err;
}

TEST_F(BrvCli, ProgressWithoutTerminalIsPlainPercentLines)
{
    const run_result r = brv({"verify", package().string()});
    EXPECT_NE(std::string::npos, r.err.find("100% Verifying package\n")) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find('\r'));
}

TEST(BrvUsage, MisuseExitsWithTwoAndSaysWhy)
{
    struct misuse {
        std::vector<std::string> args;
        const char* says;
    };
    const std::vector<misuse> cases = {
        {{}, "Usage: brv"},
        {{"frobnicate"}, "unknown command"},
        {{"--bogus"}, "unknown option"},
        {{"verify"}, "missing argument"},
        {{"verify", "a.brp", "b.brp"}, "unexpected argument b.brp"},
        {{"info", "--nope", "a.brp"}, "unknown option --nope"},
        {{"pack", "dir"}, "missing -o"},
        {{"pack", "dir", "-o"}, "needs a value"},
        {{"flash", "a.brp", "--type", "everything"}, "unknown flash type"},
        {{"flash", "a.brp", "--no-write=yes"}, "takes no value"},
        {{"flash", "a.brp", "--programmer-wait", "soon"}, "--programmer-wait takes milliseconds"},
        {{"devices", "extra"}, "unexpected argument"},
    };
    for (const misuse& m : cases) {
        const run_result r = brv(m.args);
        std::string joined;
        for (const auto& a : m.args)
            joined += a + " ";
        EXPECT_EQ(2, r.status) << joined;
        EXPECT_NE(std::string::npos, r.err.find(m.says)) << joined << ": " << r.err;
    }
}

TEST(BrvUsage, HelpIsAvailableEverywhereAndSucceeds)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--help"}, {"pack", "--help"}, {"info", "-h"}, {"verify", "--help"}, {"flash", "--help"}, {"devices", "--help"}}) {
        const run_result r = brv(args);
        EXPECT_EQ(0, r.status) << args[0];
        EXPECT_EQ(0u, r.out.find("Usage: brv")) << r.out;
    }
}

TEST(BrvFlash, NoHandsetMeansCannotOpenDevice)
{
    // Under the launcher with only a device of another identity on the bus, and
    // with whatever the real USB library finds on this machine (no handset).
    temp_dir state;
    const run_result emulated = run({launcher_program().string(), "--state", state.path().string(), "--pid", "900e",
                                     "--", brv_program().string(), "flash", demo_package().string()},
                                    {"BRV_PROGRAMMER_WAIT_MS=0"});
    EXPECT_EQ(1, emulated.status) << emulated.err;
    EXPECT_NE(std::string::npos, emulated.err.find("Cannot open device")) << emulated.err;
    EXPECT_EQ(std::string::npos, emulated.out.find("Succeeded"));

    const run_result real = brv({"flash", demo_package().string()});
    EXPECT_EQ(1, real.status) << real.err;
    EXPECT_NE(std::string::npos, real.err.find("Cannot open device")) << real.err;
}
