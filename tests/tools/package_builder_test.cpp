// pack_directory in-process: the package header's layout and digests, the
// archive it wraps, reproducibility, and that a failed pack never leaves a
// package (whole or half) behind.
#include "byte_order.h"
#include "fwpkg.h"
#include "package_builder.h"
#include "progress.h"
#include "scrozzler.h"
#include "tool_env.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>

using namespace tooltest;

namespace {

constexpr std::size_t header_size = 256;
constexpr std::size_t key_size = 65536;

std::vector<std::uint8_t> digest(const EVP_MD* md, const std::vector<std::uint8_t>& data)
{
    std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
    out.resize(n);
    return out;
}

} // namespace

TEST(PackageBuilder, HeaderCarriesLengthAndDigestsOfThePlainArchive)
{
    temp_dir dir;
    make_package_sources(dir / "src");
    const fs::path out = dir / "p.brp";
    pack_directory((dir / "src").string(), out.string());

    std::vector<std::uint8_t> file = read_bytes(out);
    ASSERT_GT(file.size(), header_size);
    const std::uint64_t length = file.size() - header_size;
    EXPECT_EQ(0, std::memcmp(file.data(), "BRV\0", 4)) << "external magic is stored plain";

    const scrozzler key(key_size, static_cast<std::uint32_t>(length));
    std::vector<std::uint8_t> header(file.begin(), file.begin() + header_size);
    key.scramble(header.data(), header.size());
    EXPECT_EQ(0, std::memcmp(header.data() + 4, "BRV\0", 4));
    EXPECT_EQ(0x00010000u, load_be32(header, 8));
    EXPECT_EQ(length, load_be64(header, 12));
    for (std::size_t i = 68; i < header_size; ++i)
        ASSERT_EQ(0, header[i]) << "reserved byte " << i;

    std::vector<std::uint8_t> payload(file.begin() + header_size, file.end());
    for (std::size_t off = 0; off < payload.size(); off += key_size)
        key.scramble(payload.data() + off, std::min(key_size, payload.size() - off));
    EXPECT_EQ(0, std::memcmp(payload.data(), "PK\x03\x04", 4)) << "payload is a zip archive";
    EXPECT_EQ(digest(EVP_md5(), payload), std::vector<std::uint8_t>(header.data() + 20, header.data() + 36));
    EXPECT_EQ(digest(EVP_sha256(), payload), std::vector<std::uint8_t>(header.data() + 36, header.data() + 68));
}

TEST(PackageBuilder, PackageOpensVerifiesAndHoldsEveryFileSorted)
{
    temp_dir dir;
    make_package_sources(dir / "src");
    const fs::path out = dir / "p.brp";
    pack_directory((dir / "src").string(), out.string());

    fwpkg pkg;
    pkg.open(out.string());
    null_progress progress;
    EXPECT_TRUE(pkg.verify(progress));
    EXPECT_EQ("Fixture Phone", pkg.device_display_name());
    EXPECT_EQ(4096u, pkg.device_sector_size());

    const std::vector<std::string> expected = {"empty.txt", "images/blob.bin", "images/sub/readme.txt",
                                               "meta/notes.txt", "meta/params.txt"};
    std::vector<std::string> names;
    for (const member_info& m : pkg.members()) {
        names.push_back(m.name);
        EXPECT_EQ(fs::file_size(dir / "src" / m.name), m.size) << m.name;
    }
    EXPECT_EQ(expected, names);
    for (const std::string& name : expected) {
        const buffer b = pkg.read_file(name, 0);
        const std::vector<std::uint8_t> want = read_bytes(dir / "src" / name);
        ASSERT_EQ(want.size(), b.size()) << name;
        EXPECT_TRUE(want.empty() || std::memcmp(want.data(), b.c_ptr(), want.size()) == 0) << name;
    }
}

TEST(PackageBuilder, SameInputGivesSameBytesWhateverTheFileTimes)
{
    temp_dir dir;
    make_package_sources(dir / "src");
    pack_directory((dir / "src").string(), (dir / "a.brp").string());
    fs::last_write_time(dir / "src/images/blob.bin", fs::file_time_type::clock::now() - std::chrono::hours(48));
    pack_directory((dir / "src").string(), (dir / "b.brp").string());
    EXPECT_EQ(read_bytes(dir / "a.brp"), read_bytes(dir / "b.brp"));
}

TEST(PackageBuilder, OutputInsideTheSourceDirectoryIsNotPackedIntoItself)
{
    temp_dir dir;
    make_package_sources(dir.path());
    const fs::path out = dir / "self.brp";
    pack_directory(dir.path().string(), out.string());
    pack_directory(dir.path().string(), out.string());
    fwpkg pkg;
    pkg.open(out.string());
    for (const member_info& m : pkg.members())
        EXPECT_EQ(std::string::npos, m.name.find("self.brp")) << m.name;
    EXPECT_EQ(5u, pkg.members().size());
}

TEST(PackageBuilder, FailureLeavesAnExistingPackageAndNoTemporaryFile)
{
    temp_dir dir;
    const fs::path out = dir / "p.brp";
    write_file(out, "previous package");
    EXPECT_THROW(pack_directory((dir / "missing").string(), out.string()), std::runtime_error);
    EXPECT_EQ("previous package", read_text(out));
    EXPECT_FALSE(fs::exists(dir / "p.brp.tmp"));

    make_package_sources(dir / "src");
    EXPECT_THROW(pack_directory((dir / "src").string(), (dir / "no/such/dir/p.brp").string()), std::runtime_error);
    EXPECT_FALSE(fs::exists(dir / "no"));

    // A member that claims 0 bytes but reads more fails half-way through the
    // archive, after the temporary file exists.
    fs::create_symlink("/proc/self/status", dir / "src/lies.txt");
    EXPECT_THROW(pack_directory((dir / "src").string(), out.string()), std::runtime_error);
    EXPECT_EQ("previous package", read_text(out));
    EXPECT_FALSE(fs::exists(dir / "p.brp.tmp"));
}

TEST(PackageBuilder, ProgressRisesToItsTotal)
{
    temp_dir dir;
    make_package_sources(dir / "src");
    std::uint64_t last = 0, total = 0;
    bool monotonic = true;
    pack_directory((dir / "src").string(), (dir / "p.brp").string(), [&](std::uint64_t done, std::uint64_t t) {
        monotonic = monotonic && done >= last && done <= t;
        last = done;
        total = t;
    });
    EXPECT_TRUE(monotonic);
    EXPECT_GT(total, 0u);
    EXPECT_EQ(total, last);
}

TEST(PackageBuilder, LinksToDirectoriesAreNotFollowed)
{
    temp_dir dir;
    make_package_sources(dir / "src");
    write_file(dir / "outside/secret.txt", "not part of the package\n");
    const fs::path out = dir / "p.brp";

    // Inside the folder: the files are packed once, under their own names.
    fs::create_directory_symlink("images/sub", dir / "src/again");
    pack_directory((dir / "src").string(), out.string());
    fwpkg pkg;
    pkg.open(out.string());
    EXPECT_EQ(5u, pkg.members().size());
    pkg.close();

    // Out of the folder: refused, naming the link, and nothing is written.
    fs::remove(out);
    fs::create_directory_symlink(dir / "outside", dir / "src/images/ext");
    try {
        pack_directory((dir / "src").string(), out.string());
        ADD_FAILURE() << "packed through a link out of the folder";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("src/images/ext links to the directory")) << e.what();
    }
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(dir / "p.brp.tmp"));
}

TEST(PackageBuilder, EmptyFolderIsRefused)
{
    temp_dir dir;
    fs::create_directories(dir / "src/meta");
    EXPECT_THROW(pack_directory((dir / "src").string(), (dir / "p.brp").string()), std::runtime_error);
    EXPECT_FALSE(fs::exists(dir / "p.brp"));
}
