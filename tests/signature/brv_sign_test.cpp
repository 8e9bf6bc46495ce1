// `brv sign` and the signature lines of `brv verify` as a user meets them, with
// keys and signatures from the real minisign beside ours.
#include "signature_test_support.h"

#include "keys.h"

#include <gtest/gtest.h>

using namespace sigtest;

namespace {

const fs::path system_keys = "/etc/brenvik/trusted-keys";

class BrvSign : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy_file(tooltest::demo_package(), package());
        fs::create_directories(home());
        vendor = minisign_keys(dir.path(), "vendor");
        stranger = minisign_keys(dir.path(), "stranger");
    }
    fs::path package() const { return dir / "demo.brp"; }
    fs::path minisig() const { return dir / "demo.brp.minisig"; }
    fs::path home() const { return dir / "home"; }
    // brv with HOME in the scratch folder, so only the keys a test puts there are the user's.
    tooltest::run_result brv(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv = {"/usr/bin/env", "HOME=" + home().string(), tooltest::brv_program().string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return tooltest::run(argv);
    }
    tooltest::run_result sign(const std::vector<std::string>& extra = {}) const
    {
        std::vector<std::string> args = {"sign", package().string(), "--key", vendor.key.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return brv(args);
    }

    testsupport::temp_dir dir;
    key_files vendor;
    key_files stranger;
};

} // namespace

TEST_F(BrvSign, VerifyReportsTheSignerOrWhyNotAndFailsWhenTrustedKeysWantOne)
{
    struct row {
        const char* name;
        std::function<void()> prepare;
        std::vector<std::string> keys;  // --key files
        int status;
        std::string out_has;
        std::string err_has;
    };
    const std::string vendor_id = key_id_of(vendor.pub);
    const std::string where = package().string() + ": ";
    const row rows[] = {
        {"signed by brv sign", [&] { ASSERT_EQ(0, sign().status); }, {vendor.pub.string()}, 0,
         where + "signed by " + vendor_id + " (timestamp:", ""},
        {"trusted through the user's folder",
         [&] {
             ASSERT_EQ(0, sign().status);
             fs::create_directories(home() / ".config/brenvik/trusted-keys");
             fs::copy_file(vendor.pub, home() / ".config/brenvik/trusted-keys/vendor.pub");
         },
         {}, 0, " file:demo.brp hashed)\n", ""},
        {"minisign's legacy signature", [&] { minisign_sign(package(), vendor, true, "demo 1.0"); },
         {vendor.pub.string()}, 0, where + "signed by " + vendor_id + " (demo 1.0)\n", ""},
        {"one of two keys", [&] { minisign_sign(package(), vendor, false, "demo 1.0"); },
         {stranger.pub.string(), vendor.pub.string()}, 0, "signed by " + vendor_id, ""},
        {"a key not trusted", [&] { ASSERT_EQ(0, sign().status); }, {stranger.pub.string()}, 1, "",
         where + "signature: signed by an untrusted key " + vendor_id + " (" + minisig().string() + ")\n"},
        {"not signed", [] {}, {vendor.pub.string()}, 1, "", where + "not signed\n"},
        {"no trusted key configured", [&] { ASSERT_EQ(0, sign().status); }, {}, 0,
         where + "not checked for a signer (no trusted key configured)\n", ""},
        {"a trusted key file that is not one", [] {}, {vendor.key.string()}, 1, "",
         "not a minisign public key: the key line is not base64 of 42 bytes (" + vendor.key.string() + ")"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove(minisig());
        fs::remove_all(home() / ".config");
        r.prepare();
        // A machine whose own folder trusts keys cannot show the unconfigured case.
        if (r.keys.empty() && fs::exists(system_keys) && r.out_has.find("not checked") != std::string::npos)
            continue;
        std::vector<std::string> args = {"verify", package().string()};
        for (const std::string& k : r.keys) {
            args.push_back("--key");
            args.push_back(k);
        }
        const tooltest::run_result v = brv(args);
        EXPECT_EQ(r.status, v.status) << v.out << v.err;
        EXPECT_NE(std::string::npos, v.out.find(r.out_has)) << v.out;
        EXPECT_NE(std::string::npos, v.err.find(r.err_has)) << v.err;
    }
}

TEST_F(BrvSign, MinisignAcceptsTheSignatureAndAnExistingOneIsReplacedOnlyWithForce)
{
    const tooltest::run_result first = sign();
    ASSERT_EQ(0, first.status) << first.err;
    EXPECT_TRUE(minisign_accepts(package(), vendor.pub));
    const std::string written = tooltest::read_text(minisig());

    const tooltest::run_result again = brv({"sign", package().string(), "--key", stranger.key.string()});
    EXPECT_EQ(1, again.status);
    EXPECT_NE(std::string::npos, again.err.find(minisig().string() + " already exists (replace it with --force)"))
        << again.err;
    EXPECT_EQ(written, tooltest::read_text(minisig()));

    const tooltest::run_result forced = brv({"sign", package().string(), "--key", stranger.key.string(), "--force"});
    EXPECT_EQ(0, forced.status) << forced.err;
    EXPECT_TRUE(minisign_accepts(package(), stranger.pub));

    const fs::path elsewhere = dir / "elsewhere.sig";
    EXPECT_EQ(0, sign({"-o", elsewhere.string()}).status);
    EXPECT_TRUE(minisign_accepts(package(), vendor.pub, elsewhere));
}

TEST_F(BrvSign, AnEncryptedKeyAsksForItsPasswordOnTheTerminalWithoutShowingIt)
{
    const std::string password = "tr0ub4dor&3";
    const fs::path encrypted = dir / "encrypted.key";
    {
        const signature::secret_key key =
            signature::read_secret_key(vendor.key.string(), [] { return std::string(); });
        // libsodium's "interactive" scrypt cost: a test cannot wait for minisign's.
        tooltest::write_file(encrypted, signature::format_secret_key(key, signature::key_encryption{password, 524288, 16777216}));
    }
    const std::vector<std::string> argv = {tooltest::brv_program().string(), "sign", package().string(), "--key",
                                           encrypted.string()};

    const tooltest::run_result wrong = run_with_password(argv, "tr0ub4dor&4");
    EXPECT_EQ(1, wrong.status);
    EXPECT_NE(std::string::npos, wrong.out.find("signature: wrong password for the secret key")) << wrong.out;
    EXPECT_FALSE(fs::exists(minisig()));

    const tooltest::run_result right = run_with_password(argv, password);
    EXPECT_EQ(0, right.status) << right.out;
    EXPECT_NE(std::string::npos, right.out.find("Password for the secret key " + encrypted.string() + ": ")) << right.out;
    EXPECT_EQ(std::string::npos, right.out.find(password)) << "the password was shown: " << right.out;
    EXPECT_TRUE(minisign_accepts(package(), vendor.pub));
}

TEST_F(BrvSign, FlashRefusesAPackageNoTrustedKeySignedBeforeTheHandsetHearsAnything)
{
    struct row {
        const char* name;
        std::function<void()> prepare;
        std::vector<std::string> args;  // after brv; "PKG" and "FOLDER" stand for the firmware
        int status;
        std::string err_has;
    };
    const std::string refused = "(trusted keys are configured: only a package signed by one of them is flashed)";
    const row rows[] = {
        {"not signed", [] {}, {"flash", "PKG"}, 1, "Checking the package failed: not signed " + refused},
        {"signed by a key not trusted", [&] { minisign_sign(package(), stranger, false, "demo 1.0"); },
         {"flash", "PKG"}, 1,
         "Checking the package failed: signature: signed by an untrusted key " + key_id_of(stranger.pub)},
        {"not signed, every handset", [] {}, {"flash", "PKG", "--all"}, 1,
         "not signed " + refused + ", nothing was written"},
        {"not signed but allowed", [] {}, {"flash", "PKG", "--allow-unsigned"}, 0, "warning: not signed " + refused},
        {"signed by the trusted key", [&] { ASSERT_EQ(0, sign().status); }, {"flash", "PKG"}, 0, ""},
        {"a maker's folder, which carries no signature", [] {}, {"flash", "FOLDER"}, 1,
         "a firmware folder carries no signature " + refused},
        {"a station", [] {}, {"station", "PKG"}, 1, "not signed " + refused + "; no handset was flashed"},
        {"a station of a folder", [] {}, {"station", "FOLDER"}, 1,
         "a firmware folder carries no signature " + refused + "; no handset was flashed"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove(minisig());
        const fs::path state = dir / "handset";
        fs::remove_all(state);
        r.prepare();
        std::vector<std::string> argv = {"/usr/bin/env", "HOME=" + home().string(), "BRV_PROGRAMMER_WAIT_MS=0",
                                         tooltest::launcher_program().string(), "--state", state.string(),
                                         "--memory", "emmc", "--", tooltest::brv_program().string()};
        for (const std::string& a : r.args)
            argv.push_back(a == "PKG" ? package().string() : a == "FOLDER" ? tooltest::demo_sources().string() : a);
        argv.insert(argv.end(), {"--key", vendor.pub.string()});
        const tooltest::run_result f = tooltest::run(argv);
        EXPECT_EQ(r.status, f.status) << f.err;
        EXPECT_NE(std::string::npos, f.err.find(r.err_has)) << f.err;
        if (r.status != 0) {
            EXPECT_NE(std::string::npos, f.err.find(r.args[0] == "station" ? "no handset was flashed" : "othing was written"))
                << f.err;
            const bool heard = fs::exists(state / "transcript.txt") && fs::file_size(state / "transcript.txt") > 0;
            EXPECT_FALSE(heard) << tooltest::read_text(state / "transcript.txt");
        }
    }
}
