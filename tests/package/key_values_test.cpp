#include "error_text.h"
#include "key_values.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

std::string error_of(const std::string& text)
{
    return testsupport::error_text([&] { parse_key_values(text); });
}

TEST(KeyValues, SplitsAtFirstEqualsAndKeepsBytesVerbatim)
{
    const key_value_map m = parse_key_values("a=b=c\nkey=\n spaced = v \nwin=emmc\r\n");
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m.at("a"), "b=c");
    EXPECT_EQ(m.at("key"), "");
    EXPECT_EQ(m.at(" spaced "), " v ");
    EXPECT_EQ(m.at("win"), "emmc\r");
}

TEST(KeyValues, CommentsEmptyLinesAndBareKeys)
{
    const char text[] = "# comment=1\nx\n\0zero=1\n\n";
    const key_value_map m = parse_key_values(text, sizeof text - 1);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m.at("x"), "");
    // A lone line feed is an entry with an empty key, not a comment.
    EXPECT_EQ(m.count(""), 1u);
    EXPECT_EQ(m.count("# comment"), 0u);
}

TEST(KeyValues, LaterValueReplacesEarlierAndEmptyTextIsEmpty)
{
    EXPECT_EQ(parse_key_values("k=1\nk=2\n").at("k"), "2");
    EXPECT_TRUE(parse_key_values("").empty());
    EXPECT_TRUE(parse_key_values(nullptr, 0).empty());
}

TEST(KeyValues, MalformedTextIsRefused)
{
    EXPECT_EQ(error_of("=value\n"), "Invalid line");
    EXPECT_EQ(error_of("ok=1\n=value\n"), "Invalid line");
    EXPECT_EQ(error_of("a=1\nb=2"), "Unterminated line");
    EXPECT_EQ(error_of("no line feed"), "Unterminated line");
    // The length bounds the text: a line feed past it does not count.
    EXPECT_THROW(parse_key_values("a=1\n", 3), std::runtime_error);
}

TEST(KeyValues, DumpIsSortedAndParsesBack)
{
    key_value_map m{{"zeta", "1"}, {"alpha", "x=y"}, {"mid", ""}};
    const std::string text = dump_key_values(m);
    EXPECT_EQ(text, "alpha=x=y\nmid=\nzeta=1\n");
    EXPECT_EQ(parse_key_values(text), m);
}

TEST(KeyValues, DumpCutsLongLinesButKeepsThemSeparate)
{
    key_value_map m{{"long", std::string(400, 'v')}, {"next", "1"}};
    const std::string text = dump_key_values(m);
    const std::size_t first_lf = text.find('\n');
    EXPECT_EQ(first_lf + 1, key_value_line_max);
    const key_value_map back = parse_key_values(text);
    EXPECT_EQ(back.at("next"), "1");
    EXPECT_EQ(back.at("long").size(), key_value_line_max - 1 - 5);
}

} // namespace
