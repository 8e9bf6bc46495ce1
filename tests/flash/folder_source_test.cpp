// A maker's folder opened as firmware: what it merges, and each refusal by its
// text, before any handset is involved.
#include "flat_folder.h"
#include "folder_source.h"
#include "memory_type.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

namespace fs = std::filesystem;

namespace {

class folder_source_test : public ::testing::Test {
public:
    folder_source_test()
    {
        std::string templ = (fs::temp_directory_path() / "brv-folder-XXXXXX").string();
        root_ = ::mkdtemp(templ.data());
        folder_ = std::make_unique<testsupport::flat_folder>(root_ / "fw", 16ull << 20);
    }
    ~folder_source_test() override { fs::remove_all(root_); }

    fs::path dir() const { return folder_->dir(); }
    void edit(const std::string& name, const std::string& from, const std::string& to) const
    {
        std::ifstream in(dir() / name);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(dir() / name, std::ios::trunc) << std::regex_replace(text, std::regex(from), to);
    }
    std::string refusal(const folder_options& options = {}) const
    {
        try {
            folder_source s(dir().string(), options);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "(opened)";
    }

protected:
    fs::path root_;
    std::unique_ptr<testsupport::flat_folder> folder_;
};

TEST_F(folder_source_test, merges_every_numbered_file_in_order_and_nothing_else)
{
    folder_source s(dir().string(), {});
    EXPECT_EQ(s.memory_type(), memory_ufs);
    EXPECT_EQ(s.sector_size(), 4096u);
    ASSERT_EQ(s.program_paths().size(), 6u);
    for (unsigned n = 0; n < 6; ++n) {
        EXPECT_EQ(fs::path(s.program_paths()[n]).filename(), "rawprogram" + std::to_string(n) + ".xml");
        EXPECT_EQ(fs::path(s.patch_paths()[n]).filename(), "patch" + std::to_string(n) + ".xml");
    }
    const std::string program = s.merged_program();
    EXPECT_LT(program.find("label=\"userdata\""), program.find("label=\"xbl_a\""));
    EXPECT_EQ(program.find("gpt_empty0.bin"), std::string::npos) << "the BLANK_GPT variant is not taken";
    EXPECT_EQ(s.images().count("boot.img"), 1u);
    EXPECT_EQ(s.image_size("super.img"), fs::file_size(dir() / "super.img"));

    // A chosen program file brings its own patch file only.
    folder_options wipe;
    wipe.program_files = {"rawprogram5_WIPE_PARTITIONS.xml"};
    const folder_source w(dir().string(), wipe);
    ASSERT_EQ(w.patch_paths().size(), 1u);
    EXPECT_EQ(fs::path(w.patch_paths()[0]).filename(), "patch5.xml");
    EXPECT_NE(w.merged_program().find("<erase"), std::string::npos);
}

TEST_F(folder_source_test, each_problem_is_named)
{
    struct problem_case {
        std::function<void(folder_source_test&, folder_options&)> make;
        std::string text;
    };
    const problem_case cases[] = {
        {[](folder_source_test& t, folder_options&) { fs::remove(t.dir() / "prog_firehose_ddr.elf"); },
         "no programmer (a file named prog_*) in"},
        {[](folder_source_test& t, folder_options& o) {
             std::ofstream(t.dir() / "notelf.bin") << "MZ";
             o.programmer = "notelf.bin";
         },
         "notelf.bin is not an ELF file; the handset runs only ELF programmers"},
        {[](folder_source_test& t, folder_options&) {
             t.edit("rawprogram3.xml", "SECTOR_SIZE_IN_BYTES=\"4096\"", "SECTOR_SIZE_IN_BYTES=\"512\"");
         },
         "the program files disagree on SECTOR_SIZE_IN_BYTES: \"4096\" in rawprogram0.xml, \"512\" in rawprogram3.xml"},
        {[](folder_source_test& t, folder_options&) {
             t.edit("rawprogram2.xml", " physical_partition_number=\"2\"", "");
         },
         "rawprogram2.xml: program PrimaryGPT has no physical_partition_number, so it cannot be merged"},
        {[](folder_source_test&, folder_options& o) {
             o.program_files = {"rawprogram0.xml", "missing.xml"};
         },
         "the program file missing.xml is not a file"},
        {[](folder_source_test& t, folder_options&) {
             for (unsigned n = 0; n < 6; ++n)
                 fs::remove(t.dir() / ("rawprogram" + std::to_string(n) + ".xml"));
         },
         "no rawprogram<N>.xml in"},
        {[](folder_source_test& t, folder_options&) {
             t.edit("rawprogram1.xml", "filename=\"xbl.elf\"", "filename=\"../xbl.elf\"");
         },
         "../xbl.elf (image of xbl_a in rawprogram1.xml) names a file outside the folder"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].text);
        fs::remove_all(root_ / "fw");
        folder_ = std::make_unique<testsupport::flat_folder>(root_ / "fw", 16ull << 20);
        folder_options options;
        cases[i].make(*this, options);
        const std::string text = refusal(options);
        EXPECT_NE(text.find(cases[i].text), std::string::npos) << text;
        EXPECT_NE(text.find("Nothing was read from or written to a handset."), std::string::npos) << text;
    }
}

} // namespace
