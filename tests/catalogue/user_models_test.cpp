#include "error_text.h"
#include "model.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <stdexcept>

namespace {

namespace fs = std::filesystem;
using testsupport::error_text;

std::string text_of(const usb_vidpid_t& id)
{
    char s[16];
    std::snprintf(s, sizeof s, "%04x:%04x", id.vid, id.pid);
    return s;
}


// Each case gets its own home directory and a catalogue that has not yet
// looked at models.xml.
class user_catalogue : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char* h = std::getenv("HOME"))
            saved_home_ = h;
        ::setenv("HOME", home_.c_str(), 1);
        fs::create_directory(home_ / ".brv");
        forget_user_models();
    }

    void TearDown() override
    {
        forget_user_models();
        if (saved_home_)
            ::setenv("HOME", saved_home_->c_str(), 1);
        else
            ::unsetenv("HOME");
    }

    void write(const std::string& name, const std::string& content)
    {
        testsupport::write_file(home_ / ".brv" / name, content);
    }

    void write_models(const std::string& body)
    {
        write("models.xml", "<?xml version=\"1.0\"?>\n" + body);
    }

    testsupport::temp_dir scratch_;
    const fs::path home_ = scratch_.path();
    std::optional<std::string> saved_home_;
};

TEST_F(user_catalogue, without_models_xml_only_builtins_are_found_and_nothing_fails)
{
    EXPECT_TRUE(user_models().empty());
    EXPECT_EQ(find_model("alder7").sector_size(), 4096u);
    EXPECT_TRUE(model_exists("yew4"));
    EXPECT_FALSE(model_exists("nosuch1"));
    EXPECT_EQ(error_text([] { find_model("nosuch1"); }), "No such model: nosuch1");
    EXPECT_EQ(error_text([] { find_model(""); }), "No such model: ");
    // Names match exactly: no prefix, no case folding.
    EXPECT_FALSE(model_exists("alder"));
    EXPECT_FALSE(model_exists("ALDER7"));
}

TEST_F(user_catalogue, absent_attributes_take_their_defaults)
{
    write_models("<models><model name=\"plain1\"/></models>");
    const model m = find_model("plain1");
    EXPECT_EQ(m.memory_type(), memory_emmc);
    EXPECT_EQ(m.sector_size(), 512u);
    EXPECT_EQ(text_of(m.vidpid(model::fastboot)), "18d1:d00d");
    EXPECT_EQ(text_of(m.vidpid(model::diag)), "05c6:901d");
    EXPECT_EQ(text_of(m.vidpid(model::adb)), "05c6:9039");
}

TEST_F(user_catalogue, attributes_are_read_and_others_ignored)
{
    write_models("<models><!-- note --><model name=\"full2\" memory_type=\"ufs\" sector_size=\"4096\""
                 " vidpid_fastboot=\"0x1234:0x5678\" vidpid_diag=\"5c6:900e\" vidpid_adb=\"abcd:ef01\""
                 " colour=\"red\"><extra/></model><other name=\"nope3\"/></models>");
    ASSERT_EQ(user_models().size(), 1u);
    const model m = find_model("full2");
    EXPECT_EQ(m.memory_type(), memory_ufs);
    EXPECT_EQ(m.sector_size(), 4096u);
    EXPECT_EQ(text_of(m.vidpid(model::fastboot)), "1234:5678");
    EXPECT_EQ(text_of(m.vidpid(model::diag)), "05c6:900e");
    EXPECT_EQ(text_of(m.vidpid(model::adb)), "abcd:ef01");
    EXPECT_FALSE(model_exists("nope3"));
}

TEST_F(user_catalogue, user_model_hides_the_builtin_of_the_same_name_and_the_first_wins)
{
    ASSERT_EQ(find_model("alder7").memory_type(), memory_ufs);
    write_models("<models><model name=\"alder7\" memory_type=\"emmc\" sector_size=\"1024\"/>"
                 "<model name=\"alder7\" memory_type=\"ufs\" sector_size=\"2048\"/></models>");
    const model m = find_model("alder7");
    EXPECT_EQ(m.memory_type(), memory_emmc);
    EXPECT_EQ(m.sector_size(), 1024u);
    EXPECT_EQ(find_model("birch9").memory_type(), memory_ufs);
}

TEST_F(user_catalogue, name_attribute_is_cut_at_its_first_comma)
{
    write_models("<models><model name=\"abc,ufs,4096\"/></models>");
    EXPECT_FALSE(model_exists("abc,ufs,4096"));
    const model m = find_model("abc");
    EXPECT_EQ(m.memory_type(), memory_emmc);
    EXPECT_EQ(m.sector_size(), 512u);
    EXPECT_EQ(text_of(m.vidpid(model::fastboot)), "18d1:d00d");
}

TEST_F(user_catalogue, capital_memory_types_are_unknown)
{
    write_models("<models><model name=\"cap1\" memory_type=\"UFS\"/><model name=\"cap2\" memory_type=\"EMMC\"/></models>");
    EXPECT_EQ(find_model("cap1").memory_type(), memory_unknown);
    EXPECT_STREQ(memory_type_name(find_model("cap2").memory_type()), "unknown");
}

TEST_F(user_catalogue, a_file_that_is_not_xml_fails_to_parse)
{
    write("models.xml", "this is not xml <models>");
    EXPECT_EQ(error_text([] { user_models(); }), "Failed to parse models.xml");
    EXPECT_EQ(error_text([] { find_model("alder7"); }), "Failed to parse models.xml");
    EXPECT_FALSE(model_exists("alder7"));
}

TEST_F(user_catalogue, a_file_with_entities_is_refused_before_they_are_expanded)
{
    // 20,000 uses of a 50 KB entity: expanding them hung the catalogue.
    std::string uses;
    for (int i = 0; i < 20000; ++i)
        uses += "&e;";
    write("models.xml", "<?xml version=\"1.0\"?><!DOCTYPE models [<!ENTITY e \"" + std::string(50000, 'x') +
                            "\">]><models><model name=\"" + uses + "\"/></models>");
    EXPECT_EQ(error_text([] { user_models(); }), "models.xml declares a DTD or entities; remove them");
}

TEST_F(user_catalogue, a_root_other_than_models_fails)
{
    write_models("<catalog><model name=\"x1\"/></catalog>");
    EXPECT_EQ(error_text([] { user_models(); }), "Failed to find models tag in models.xml");
}

TEST_F(user_catalogue, bad_vidpid_keeps_the_models_before_it_and_the_file_is_not_read_again)
{
    write_models("<models><model name=\"good1\"/><model name=\"bad2\" vidpid_diag=\"05c6-9008\"/>"
                 "<model name=\"after3\"/></models>");
    EXPECT_EQ(error_text([] { user_models(); }), "Bad vidpid");
    write_models("<models><model name=\"other4\"/></models>");
    const auto& list = user_models();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name(), "good1");
    EXPECT_FALSE(model_exists("after3"));
    EXPECT_FALSE(model_exists("other4"));
}

TEST_F(user_catalogue, a_model_without_name_is_a_clear_error)
{
    write_models("<models><model name=\"first1\"/><model memory_type=\"ufs\"/></models>");
    EXPECT_EQ(error_text([] { user_models(); }), "Model without name in models.xml");
    EXPECT_TRUE(model_exists("first1"));
}

TEST_F(user_catalogue, the_file_is_looked_for_again_until_it_yields_a_model_then_kept)
{
    EXPECT_TRUE(user_models().empty());
    write_models("<models/>");
    EXPECT_TRUE(user_models().empty());
    write_models("<models><model name=\"late1\"/></models>");
    EXPECT_TRUE(model_exists("late1"));
    write_models("<models><model name=\"later2\"/></models>");
    EXPECT_TRUE(model_exists("late1"));
    EXPECT_FALSE(model_exists("later2"));
}

TEST_F(user_catalogue, attributes_of_any_length_are_taken_whole)
{
    const std::string long_name = "n" + std::string(70000, '7');
    write_models("<models><model name=\"" + long_name + "\" memory_type=\"" + std::string(50000, 'u') +
                 "\" sector_size=\"" + std::string(50000, '9') + "\" vidpid_adb=\"" + std::string(50000, '0') +
                 "5c6:" + std::string(50000, '0') + "9039\"/></models>");
    const model m = find_model(long_name);
    EXPECT_EQ(m.name().size(), long_name.size());
    EXPECT_EQ(m.memory_type(), memory_unknown);
    EXPECT_EQ(text_of(m.vidpid(model::adb)), "05c6:9039");
}

TEST_F(user_catalogue, firehose_file_is_read_whole)
{
    std::mt19937 rng(9);
    std::string image(300001, '\0');
    for (char& c : image)
        c = static_cast<char>(rng());
    write("firehose_alder7.bin", image);
    const buffer b = model_firehose(find_model("alder7"));
    ASSERT_EQ(b.size(), image.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.c_ptr()), b.size()), image);

    write("firehose_birch9.bin", "");
    EXPECT_EQ(model_firehose(find_model("birch9")).size(), 0u);
}

TEST_F(user_catalogue, missing_or_unreadable_firehose_fails)
{
    EXPECT_EQ(error_text([] { model_firehose(find_model("cedar12")); }), "Cannot get firehose");
    // A path that exists but cannot be read as a file: the file class's error.
    fs::create_directory(home_ / ".brv" / "firehose_fir8.bin");
    EXPECT_EQ(error_text([] { model_firehose(find_model("fir8")); }), "Is a directory");
}

TEST_F(user_catalogue, firehose_name_cannot_leave_the_directory)
{
    fs::create_directory(home_ / ".brv" / "firehose_x");
    write("secret.bin", "not a programmer");
    write_models("<models><model name=\"x/../secret\"/></models>");
    EXPECT_EQ(error_text([] { model_firehose(find_model("x/../secret")); }), "Cannot get firehose");
}

TEST_F(user_catalogue, over_long_paths_are_refused_not_cut)
{
    // The firehose path alone overflows; models.xml still fits.
    write_models("<models><model name=\"" + std::string(1000, 'l') + "\"/></models>");
    const model m = find_model(std::string(1000, 'l'));
    EXPECT_EQ(error_text([&] { model_firehose(m); }), "Path to firehose file too long");

    const std::string long_home = "/" + std::string(1010, 'h');
    ::setenv("HOME", long_home.c_str(), 1);
    forget_user_models();
    EXPECT_EQ(error_text([] { user_models(); }), "Path to models.xml too long");
}

} // namespace
