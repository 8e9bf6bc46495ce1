#include "paths.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace {

std::string expand(const std::string& in)
{
    char out[path_max_bytes];
    EXPECT_TRUE(expand_path(in.c_str(), out));
    return out;
}

TEST(Paths, TildeExpansion)
{
    const passwd* me = getpwuid(getuid());
    ASSERT_NE(me, nullptr);
    EXPECT_EQ(expand("~/x/y"), std::string(me->pw_dir) + "/x/y");
    EXPECT_EQ(expand("~" + std::string(me->pw_name) + "/z"), std::string(me->pw_dir) + "/z");
    EXPECT_EQ(expand("a/~/b"), "a/~/b");
    EXPECT_EQ(expand("~"), "~");
    EXPECT_EQ(expand("~no-such-user-brv/q"), "~no-such-user-brv/q");
}

TEST(Paths, OverlongPathsAreRefused)
{
    char out[path_max_bytes];
    const std::string longest(1023, 'a');
    EXPECT_TRUE(expand_path(longest.c_str(), out));
    const std::string too_long(1024, 'a');
    errno = 0;
    EXPECT_FALSE(expand_path(too_long.c_str(), out));
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_STREQ(out, "");
    const std::string grows = "~/" + std::string(1019, 'b');  // fits as input, not once the home is in front
    if (std::string(getpwuid(getuid())->pw_dir).size() > 2) {
        EXPECT_FALSE(expand_path(grows.c_str(), out));
    }
}

TEST(Paths, HomeDirFallsBackToRoot)
{
    const char* saved = getenv("HOME");
    const std::string keep = saved ? saved : "";
    unsetenv("HOME");
    EXPECT_EQ(home_dir(), "/");
    setenv("HOME", "/somewhere", 1);
    EXPECT_EQ(home_dir(), "/somewhere");
    if (saved)
        setenv("HOME", keep.c_str(), 1);
}

TEST(Paths, Directories)
{
    const testsupport::temp_dir scratch;
    const std::string d = (scratch / "sub").string();
    EXPECT_TRUE(make_dir(d, true));
    EXPECT_TRUE(make_dir(d, false));
    EXPECT_FALSE(make_dir(d, true));
    std::uint64_t size = 1;
    EXPECT_TRUE(stat_size(d, size));
    EXPECT_FALSE(stat_size(d + "/missing", size));
    EXPECT_TRUE(remove_dir(d));
    EXPECT_FALSE(remove_dir(d));
}

} // namespace
