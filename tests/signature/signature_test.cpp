// Package signatures as a flash and `brv verify` meet them: what minisign
// signs is accepted and what we sign minisign accepts, in both forms; every
// change to the package, the signature file or the key is refused with a
// reason a user can act on. Keys are made by the real minisign at test time.
#include "signature_test_support.h"

#include "error_text.h"

#include "keys.h"
#include "minisig.h"
#include "trusted_keys.h"
#include "verifier.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>

using namespace sigtest;
using signature::state;

namespace {

constexpr std::size_t package_size = 200 * 1024 + 123;  // several 64 KiB pieces and a short one
const std::string release_comment = "release 7 for the fixture phone";

std::string no_password() { throw std::runtime_error("a password was asked for a key without one"); }

signature::secret_key read_plain_key(const key_files& keys)
{
    return signature::read_secret_key(keys.key.string(), no_password);
}

void replace_line(const fs::path& file, std::size_t index, const std::function<std::string(std::string)>& edit)
{
    std::string text = tooltest::read_text(file);
    std::size_t start = 0;
    for (std::size_t i = 0; i < index; ++i)
        start = text.find('\n', start) + 1;
    const std::size_t end = text.find('\n', start);
    text.replace(start, end - start, edit(text.substr(start, end - start)));
    tooltest::write_file(file, text);
}

class Signatures : public ::testing::Test {
public:
    static void SetUpTestSuite()
    {
        keys_dir_ = std::make_unique<testsupport::temp_dir>();
        trusted_ = minisign_keys(keys_dir_->path(), "trusted");
        stranger_ = minisign_keys(keys_dir_->path(), "stranger");
    }
    static void TearDownTestSuite() { keys_dir_.reset(); }

    void SetUp() override { write_package(package(), package_size); }
    fs::path package() const { return dir / "fixture.brp"; }
    fs::path minisig() const { return dir / "fixture.brp.minisig"; }
    static signature::trusted_keys trusting(const key_files& keys)
    {
        return signature::trusted_keys({signature::read_public_key(keys.pub.string())});
    }
    void sign_with_brv() const
    {
        const signature::secret_key key = read_plain_key(trusted_);
        signature::write_new_file(minisig().string(),
                                  signature::format_minisig(signature::sign_file(
                                      package().string(), key, signature::default_trusted_comment("fixture.brp", 1700000000))),
                                  false);
    }

    static std::unique_ptr<testsupport::temp_dir> keys_dir_;
    static key_files trusted_;
    static key_files stranger_;
    testsupport::temp_dir dir;
};

std::unique_ptr<testsupport::temp_dir> Signatures::keys_dir_;
key_files Signatures::trusted_;
key_files Signatures::stranger_;

} // namespace

TEST_F(Signatures, EachPackageAndSignatureFileGetsTheOutcomeAUserShouldSee)
{
    struct row {
        const char* name;
        std::function<void(Signatures&)> prepare;
        bool keys_configured;
        state expected;
        std::string text_has;
        std::string text_lacks;
    };
    const auto minisign_prehashed = [](Signatures& t) { minisign_sign(t.package(), trusted_, false, release_comment); };
    const auto minisign_legacy = [](Signatures& t) { minisign_sign(t.package(), trusted_, true, release_comment); };
    const auto flipped_after = [](bool legacy, std::size_t offset) {
        return [=](Signatures& t) {
            minisign_sign(t.package(), trusted_, legacy, release_comment);
            flip_byte(t.package(), offset);
        };
    };
    const auto signed_text = "signed by " + key_id_of(trusted_.pub) + " (" + release_comment + ")";
    const auto package_mismatch = "signature: the package does not match its signature (" + minisig().string() + ")";
    const row rows[] = {
        {"minisign, prehashed", minisign_prehashed, true, state::signed_by_trusted_key, signed_text, ""},
        {"minisign -l, legacy", minisign_legacy, true, state::signed_by_trusted_key, signed_text, ""},
        {"brv's own", [](Signatures& t) { t.sign_with_brv(); }, true, state::signed_by_trusted_key,
         "signed by " + key_id_of(trusted_.pub) + " (timestamp:1700000000 file:fixture.brp hashed)", ""},
        {"no signature file", [](Signatures&) {}, true, state::not_signed, "not signed", ""},
        {"no trusted key configured", minisign_prehashed, false, state::no_trusted_keys,
         "not checked for a signer (no trusted key configured)", ""},
        {"first byte flipped", flipped_after(false, 0), true, state::bad_signature, package_mismatch, ""},
        {"a middle byte flipped", flipped_after(false, 65536 + 17), true, state::bad_signature, package_mismatch, ""},
        {"last byte flipped", flipped_after(false, package_size - 1), true, state::bad_signature, package_mismatch, ""},
        {"a byte flipped under a legacy signature", flipped_after(true, 70000), true, state::bad_signature,
         package_mismatch, ""},
        {"last byte cut off",
         [&](Signatures& t) {
             minisign_prehashed(t);
             fs::resize_file(t.package(), package_size - 1);
         }, true,
         state::bad_signature, package_mismatch, ""},
        {"signed by a key not trusted here",
         [](Signatures& t) { minisign_sign(t.package(), stranger_, false, release_comment); }, true,
         state::untrusted_key,
         "signature: signed by an untrusted key " + key_id_of(stranger_.pub) + " (" + minisig().string() + ")",
         release_comment},
        {"an untrusted key's untrusted comment claims the trusted key",
         [](Signatures& t) {
             minisign_sign(t.package(), stranger_, false, release_comment);
             replace_line(t.minisig(), 0, [](std::string) {
                 return "untrusted comment: signature from the vendor's key " + key_id_of(trusted_.pub);
             });
         },
         true, state::untrusted_key, "untrusted key " + key_id_of(stranger_.pub), "vendor"},
        {"a good signature's untrusted comment is never shown",
         [&](Signatures& t) {
             minisign_prehashed(t);
             replace_line(t.minisig(), 0, [](std::string) { return "untrusted comment: approved by the vendor"; });
         },
         true, state::signed_by_trusted_key, signed_text, "vendor"},
        {"a trusted comment that lies",
         [&](Signatures& t) {
             minisign_prehashed(t);
             replace_line(t.minisig(), 2, [](std::string) { return "trusted comment: release 8 for every phone"; });
         },
         true, state::bad_signature,
         "signature: the trusted comment does not match its signature (" + minisig().string() + ")", "release 8"},
        {"a stranger's signature relabelled with the trusted key id",
         [](Signatures& t) {
             minisign_sign(t.package(), stranger_, false, release_comment);
             signature::minisig sig = signature::parse_minisig(tooltest::read_text(t.minisig()), "test");
             sig.signer = signature::read_public_key(trusted_.pub.string()).id;
             tooltest::write_file(t.minisig(), signature::format_minisig(sig));
         },
         true, state::bad_signature, package_mismatch, ""},
        {"signature file cut after two lines",
         [&](Signatures& t) {
             minisign_prehashed(t);
             const std::string text = tooltest::read_text(t.minisig());
             tooltest::write_file(t.minisig(), text.substr(0, text.find('\n', text.find('\n') + 1) + 1));
         },
         true, state::malformed_signature,
         "signature: not a minisign signature: it has 2 of its 4 lines (" + minisig().string() + ")", ""},
        {"signature file cut inside its signature line",
         [&](Signatures& t) {
             minisign_prehashed(t);
             const std::string text = tooltest::read_text(t.minisig());
             tooltest::write_file(t.minisig(), text.substr(0, text.find('\n') + 40));
         },
         true, state::malformed_signature, "not a minisign signature", ""},
        {"signature file of garbage", [](Signatures& t) { write_package(t.minisig(), 300); }, true,
         state::malformed_signature, "not a minisign signature", ""},
        {"empty signature file", [](Signatures& t) { tooltest::write_file(t.minisig(), ""); }, true,
         state::malformed_signature, "not a minisign signature: it has 0 of its 4 lines", ""},
        {"unknown signature algorithm",
         [&](Signatures& t) {
             minisign_prehashed(t);
             replace_line(t.minisig(), 1, [](std::string line) { return "Q" + line.substr(1); });
         },
         true, state::malformed_signature, "not a minisign signature: unknown signature algorithm", ""},
        {"signature file that cannot be read", [](Signatures& t) { fs::create_directory(t.minisig()); }, true,
         state::malformed_signature, "signature: cannot read: Is a directory (" + minisig().string() + ")", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove_all(minisig());
        write_package(package(), package_size);
        r.prepare(*this);
        const signature::outcome o = signature::check_file(
            r.keys_configured ? trusting(trusted_) : signature::trusted_keys(), package().string());
        EXPECT_EQ(r.expected, o.state);
        EXPECT_NE(std::string::npos, o.text().find(r.text_has)) << o.text();
        if (!r.text_lacks.empty()) {
            EXPECT_EQ(std::string::npos, o.text().find(r.text_lacks)) << o.text();
        }
    }
}

TEST_F(Signatures, TheVerifierJudgesTheBytesItWasFedInAnyPieces)
{
    struct row {
        const char* name;
        bool legacy;
        std::size_t piece;
        std::size_t changed_at;  // the fed copy differs from the file here; npos: fed as it is
        std::size_t fed_size;
        state expected;
        std::string reason_has;
    };
    constexpr std::size_t same = std::string::npos;
    const row rows[] = {
        {"prehashed, byte by byte", false, 1, same, package_size, state::signed_by_trusted_key, ""},
        {"prehashed, odd pieces", false, 4093, same, package_size, state::signed_by_trusted_key, ""},
        {"legacy, byte by byte", true, 1, same, package_size, state::signed_by_trusted_key, ""},
        {"legacy, whole", true, package_size, same, package_size, state::signed_by_trusted_key, ""},
        {"prehashed, fed a changed copy", false, 65536, 100000, package_size, state::bad_signature,
         "the package does not match its signature"},
        {"legacy, fed a changed copy of an intact file", true, 65536, 100000, package_size, state::bad_signature,
         "the package changed while it was checked"},
        {"legacy, fed too little", true, 65536, same, package_size - 1, state::bad_signature,
         "the package changed while it was checked"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove_all(minisig());
        minisign_sign(package(), trusted_, r.legacy, release_comment);
        std::vector<std::uint8_t> bytes = tooltest::read_bytes(package());
        if (r.changed_at != same)
            bytes[r.changed_at] ^= 0x80;
        signature::verifier v(trusting(trusted_), package().string());
        ASSERT_TRUE(v.needs_bytes());
        for (std::size_t at = 0; at < r.fed_size; at += r.piece)
            v.update(bytes.data() + at, std::min(r.piece, r.fed_size - at));
        const signature::outcome o = v.finish();
        EXPECT_EQ(r.expected, o.state) << o.text();
        EXPECT_NE(std::string::npos, o.text().find(r.reason_has)) << o.text();
    }
}

TEST_F(Signatures, MinisignAcceptsWhatBrvSigns)
{
    sign_with_brv();
    EXPECT_TRUE(minisign_accepts(package(), trusted_.pub));
    EXPECT_FALSE(minisign_accepts(package(), stranger_.pub));
    flip_byte(package(), 1234);
    EXPECT_FALSE(minisign_accepts(package(), trusted_.pub));
}

TEST_F(Signatures, SecretKeysOpenWithTheirPasswordOnlyAndMinisignSignsWithOurs)
{
    const std::string password = "correct horse";
    const key_files from_minisign = minisign_encrypted_keys(dir.path(), "encrypted", password);
    // Ours, at a cost a test can afford: libsodium's "interactive" scrypt limits.
    const signature::key_encryption cheap{password, 524288, 16777216};
    const key_files ours_encrypted{trusted_.pub, dir / "ours-encrypted.key"};
    tooltest::write_file(ours_encrypted.key, signature::format_secret_key(read_plain_key(trusted_), cheap));
    const key_files ours_plain{trusted_.pub, dir / "ours-plain.key"};
    tooltest::write_file(ours_plain.key, signature::format_secret_key(read_plain_key(trusted_), std::nullopt));
    const fs::path damaged = dir / "damaged.key";
    tooltest::write_file(damaged, tooltest::read_text(trusted_.key));
    replace_line(damaged, 1, [](std::string line) { return line.substr(0, 150) + (line[150] == 'A' ? "B" : "A") + line.substr(151); });

    struct row {
        const char* name;
        key_files keys;
        std::string typed;  // "" for a key without a password
        std::string error_has;
    };
    const row rows[] = {
        {"minisign's, no password", trusted_, "", ""},
        {"minisign's, encrypted", from_minisign, password, ""},
        {"ours, no password", ours_plain, "", ""},
        {"ours, encrypted", ours_encrypted, password, ""},
        {"ours, encrypted, wrong password", ours_encrypted, "correct horse!",
         "signature: wrong password for the secret key (" + ours_encrypted.key.string() + ")"},
        {"a damaged key", {trusted_.pub, damaged}, "", "not a minisign secret key"},
        {"a public key", {trusted_.pub, trusted_.pub}, "", "not a minisign secret key"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        int asked = 0;
        const auto ask = [&] {
            ++asked;
            return r.typed;
        };
        const std::string error = testsupport::error_text([&] {
            const signature::secret_key key = signature::read_secret_key(r.keys.key.string(), ask);
            const signature::public_key expected = signature::read_public_key(r.keys.pub.string());
            EXPECT_EQ(expected.id, key.id());
            EXPECT_EQ(expected.key, key.public_part().key);
        });
        EXPECT_EQ(r.typed.empty() ? 0 : 1, asked);
        if (r.error_has.empty()) {
            EXPECT_EQ("no error", error);
        } else {
            EXPECT_NE(std::string::npos, error.find(r.error_has)) << error;
        }
    }

    // minisign reads the keys we write: its signatures with them are the trusted key's.
    for (const key_files* keys : {&ours_plain, &ours_encrypted}) {
        fs::remove(minisig());
        minisign_sign(package(), *keys, false, release_comment, keys == &ours_encrypted ? password : "");
        EXPECT_EQ(state::signed_by_trusted_key, signature::check_file(trusting(trusted_), package().string()).state);
    }
}

TEST_F(Signatures, TrustedKeysComeFromBothFoldersAndNamedFilesAndABadOneIsNamed)
{
    const fs::path system = dir / "etc";
    const fs::path user = dir / "home/.config/brenvik/trusted-keys";
    fs::create_directories(system);
    fs::create_directories(user / "folder.pub");
    fs::copy_file(trusted_.pub, system / "vendor.pub");
    tooltest::write_file(system / "README", "not a key, not read");
    fs::copy_file(stranger_.pub, user / "mine.pub");
    const signature::key_id vendor = signature::read_public_key(trusted_.pub.string()).id;
    const signature::key_id mine = signature::read_public_key(stranger_.pub.string()).id;

    struct row {
        const char* name;
        signature::key_locations where;
        std::vector<std::string> extra;
        std::vector<signature::key_id> expected;
        std::string error_has;
    };
    const row rows[] = {
        {"neither folder exists", {(dir / "none1").string(), (dir / "none2").string()}, {}, {}, ""},
        {"both folders", {system.string(), user.string()}, {}, {vendor, mine}, ""},
        {"a named file only", {(dir / "none1").string(), (dir / "none2").string()}, {stranger_.pub.string()}, {mine}, ""},
        {"a named file that is missing", {system.string(), user.string()}, {(dir / "gone.pub").string()}, {},
         "signature: cannot read: No such file or directory (" + (dir / "gone.pub").string() + ")"},
        {"a named file that is not a key", {system.string(), user.string()}, {(system / "README").string()}, {},
         "signature: not a minisign public key: the key line is not base64 of 42 bytes (" + (system / "README").string() + ")"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<signature::key_id> ids;
        const std::string error = testsupport::error_text([&] {
            const signature::trusted_keys keys = signature::trusted_keys::load(r.where, r.extra);
            for (const signature::public_key& k : keys.keys())
                ids.push_back(k.id);
        });
        EXPECT_NE(std::string::npos, error.find(r.error_has)) << error;
        if (r.error_has.empty()) {
            EXPECT_EQ(r.expected, ids);
        }
    }

    // A broken key in a folder is not skipped: the whole set is refused, naming it.
    tooltest::write_file(user / "broken.pub", "untrusted comment: half a key\nRWTPphwGJlV73Jyh\n");
    EXPECT_NE(std::string::npos,
              testsupport::error_text([&] { signature::trusted_keys::load({system.string(), user.string()}, {}); })
                  .find("(" + (user / "broken.pub").string() + ")"));

    const char* home = std::getenv("HOME");
    const std::string saved = home ? home : "";
    ::setenv("HOME", (dir / "home").c_str(), 1);
    const signature::key_locations defaults = signature::default_key_locations();
    home ? ::setenv("HOME", saved.c_str(), 1) : ::unsetenv("HOME");
    EXPECT_EQ("/etc/brenvik/trusted-keys", defaults.system_dir);
    EXPECT_EQ(user.string(), defaults.user_dir);
}

TEST_F(Signatures, ANewSignatureFileNeverReplacesOrFollowsWhatIsThereUnlessAskedTo)
{
    const fs::path target = dir / "elsewhere";
    struct row {
        const char* name;
        std::function<void()> prepare;
        bool replace;
        bool written;
    };
    const row rows[] = {
        {"free name", [] {}, false, true},
        {"an existing file", [&] { tooltest::write_file(minisig(), "theirs"); }, false, false},
        {"a dangling link", [&] { fs::create_symlink(target, minisig()); }, false, false},
        {"an existing file, replaced", [&] { tooltest::write_file(minisig(), "theirs"); }, true, true},
        {"a link, replaced itself", [&] {
             tooltest::write_file(target, "theirs");
             fs::create_symlink(target, minisig());
         },
         true, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fs::remove(minisig());
        fs::remove(target);
        r.prepare();
        const std::string error = testsupport::error_text([&] { signature::write_new_file(minisig().string(), "ours\n", r.replace); });
        if (r.written) {
            EXPECT_EQ("no error", error);
            EXPECT_FALSE(fs::is_symlink(minisig()));
            EXPECT_EQ("ours\n", tooltest::read_text(minisig()));
        } else {
            EXPECT_EQ("signature: the file already exists (" + minisig().string() + ")", error);
            EXPECT_NE("ours\n", tooltest::read_text(minisig()));
        }
        EXPECT_NE("ours\n", tooltest::read_text(target));
        for (const fs::directory_entry& e : fs::directory_iterator(dir.path()))
            EXPECT_EQ(std::string::npos, e.path().filename().string().find(".minisig.")) << "left behind: " << e.path();
    }
}
