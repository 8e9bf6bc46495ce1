#include "error_text.h"
#include "file.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace {

using testsupport::error_text;
using testsupport::read_file;

class File : public ::testing::Test {
protected:
    std::string path(const char* name) const { return (dir_ / name).string(); }
    void write_text(const char* name, const std::string& text) const { testsupport::write_file(dir_ / name, text); }
    testsupport::temp_dir scratch_;
    const fs::path dir_ = scratch_.path();
};

TEST_F(File, OpeningMissingOrAlreadyOpenFiles)
{
    file f;
    EXPECT_EQ(error_text([&] { f.open_existing(path("missing"), true); }),
              std::string("file: cannot open: ") + std::strerror(ENOENT));
    EXPECT_FALSE(f.open());
    write_text("a", "abc");
    f.open_existing(path("a"), true);
    EXPECT_TRUE(f.open());
    EXPECT_EQ(error_text([&] { f.open_existing(path("a"), true); }), "file: already open");
    EXPECT_EQ(error_text([&] { f.create(path("b"), false); }), "file: already open");
}

TEST_F(File, ReadIntoBufferShrinksToWhatArrived)
{
    write_text("a", std::string(30, 'z'));
    file f;
    f.open_existing(path("a"), true);
    buffer b;
    b.resize(100);
    f.read(b);
    EXPECT_EQ(b.size(), 30u);
    EXPECT_EQ(b.c_ptr()[29], 'z');
    b.resize(100);
    f.read(b);
    EXPECT_EQ(b.size(), 0u);
}

TEST_F(File, CreateWriteSeekSizeAndMap)
{
    file f;
    f.create(path("c"), true);
    EXPECT_EQ(f.write(std::string("0123456789")), 10u);
    EXPECT_EQ(f.size(), 10u);
    EXPECT_EQ(f.seek(-3, file::origin::end), 7u);
    EXPECT_EQ(f.tell(), 7u);
    buffer rest = f.read(100);
    ASSERT_EQ(rest.size(), 3u);
    EXPECT_EQ(rest.c_ptr()[0], '7');
    auto* m = static_cast<const char*>(f.map(10, true));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(std::memcmp(m, "0123456789", 10), 0);
    file::unmap(const_cast<char*>(m), 10);
    file::unmap(nullptr, 10);
    f.close();
    f.close();

    file again;
    EXPECT_THROW(again.create(path("c"), true), std::runtime_error);  // exclusive on an existing file
    EXPECT_FALSE(again.open());

    file_mapping whole(path("c"));
    EXPECT_EQ(whole.size(), 10u);
    EXPECT_EQ(whole.data()[9], '9');

    file::unlink(path("c"));
    EXPECT_FALSE(fs::exists(path("c")));
    EXPECT_THROW(file::unlink(path("c")), std::runtime_error);
}

TEST_F(File, OverlongPathsAreRefusedNotCut)
{
    const std::string longpath = dir_.string() + "/" + std::string(1100, 'a');
    file f;
    EXPECT_EQ(error_text([&] { f.create(longpath, false); }),
              std::string("file: cannot open: ") + std::strerror(ENAMETOOLONG));
    EXPECT_FALSE(f.open());
}

std::vector<std::string> entries(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Whatever already lies at the old temporary name, a file or a link to a file
// elsewhere, is neither truncated nor written through.
TEST_F(File, ReplacementNeverWritesThroughWhatLiesAtItsTemporaryName)
{
    write_text("victim", "victim bytes");
    write_text("old", "old bytes");
    write_text("link.tmp", "stale temporary");
    fs::create_symlink(dir_ / "victim", dir_ / "old.tmp");
    for (const char* name : {"old", "link"}) {
        replacement_file out(path(name), true);
        EXPECT_EQ(fs::path(out.temporary_path()).parent_path(), dir_);
        out.write("new bytes", 9);
        out.commit();
        EXPECT_EQ(read_file(path(name)), "new bytes") << name;
    }
    EXPECT_EQ(read_file(path("victim")), "victim bytes");
    EXPECT_EQ(read_file(path("link.tmp")), "stale temporary");
    EXPECT_TRUE(fs::is_symlink(path("old.tmp")));
    EXPECT_EQ(entries(dir_), (std::vector<std::string>{"link", "link.tmp", "old", "old.tmp", "victim"}));
}

TEST_F(File, ReplacementLeavesNoTemporaryAndRefusesAnExistingTargetWhenAsked)
{
    {
        replacement_file abandoned(path("a"), true);
        abandoned.write("partial", 7);
    }
    EXPECT_TRUE(entries(dir_).empty());

    write_text("kept", "earlier read");
    replacement_file out(path("kept"), false);
    out.write("new", 3);
    EXPECT_EQ(error_text([&] { out.commit(); }), "file: " + path("kept") + " exists");
    EXPECT_EQ(read_file(path("kept")), "earlier read");
    EXPECT_EQ(entries(dir_), std::vector<std::string>{"kept"}) << "the temporary is gone at once";

    replacement_file fresh(path("fresh"), false);
    fresh.write("whole", 5);
    fresh.commit();
    EXPECT_EQ(read_file(path("fresh")), "whole");
}

} // namespace
