// `brv pack` refuses a folder a flash could not use: every problem listed, no
// package written, unless --force. The demo's sources (before the build adds
// the programmer and the images) are the incomplete folder a vendor would
// have; the staged demo folder is a complete one, broken below in one way at
// a time.
#include "package_check.h"
#include "tool_env.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

using namespace tooltest;

namespace {

run_result brv_pack(const fs::path& dir, const fs::path& out, bool force = false)
{
    std::vector<std::string> argv = {brv_program().string(), "pack", dir.string(), "-o", out.string()};
    if (force)
        argv.push_back("--force");
    return run(argv);
}

fs::path source_dir()
{
    const char* d = std::getenv("BRV_SOURCE_DIR");
    if (!d)
        throw std::runtime_error("BRV_SOURCE_DIR is not set (run the tests through ctest)");
    return d;
}

// Every non-empty filename="..." of a program file.
std::vector<std::string> images_named_by(const fs::path& program_file)
{
    const std::string text = read_text(program_file);
    const std::regex filename(R"(filename="([^"]+)\")");
    std::vector<std::string> names;
    for (std::sregex_iterator it(text.begin(), text.end(), filename), end; it != end; ++it)
        names.push_back((*it)[1]);
    return names;
}

void replace_in(const fs::path& file, const std::string& from, const std::string& to)
{
    std::string text = read_text(file);
    const auto at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from << " not in " << file;
    text.replace(at, from.size(), to);
    write_file(file, text);
}

// system.img as an Android sparse image of `blocks` blocks of 4096 bytes (one
// RAW block, the rest DONT_CARE), marked sparse="true" in the program file.
void make_system_sparse(const fs::path& dir, std::uint32_t blocks)
{
    std::vector<std::uint8_t> image;
    auto put = [&](std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            image.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    for (const auto& [value, bytes] : std::initializer_list<std::pair<std::uint32_t, int>>{
             {0xed26ff3a, 4}, {1, 2}, {0, 2}, {28, 2}, {12, 2}, {4096, 4}, {blocks, 4}, {2, 4}, {0, 4},
             {0xcac1, 2}, {0, 2}, {1, 4}, {12 + 4096, 4}})
        put(value, bytes);
    image.insert(image.end(), 4096, 0x5a);
    for (const auto& [value, bytes] :
         std::initializer_list<std::pair<std::uint32_t, int>>{{0xcac3, 2}, {0, 2}, {blocks - 1, 4}, {12, 4}})
        put(value, bytes);
    write_file(dir / "system.img", image);
    replace_in(dir / "rawprogram0.xml", R"(size_in_KB="2048.0" sparse="false")", R"(size_in_KB="2048.0" sparse="true")");
}

TEST(BrvPack, RefusesTheDemoSourcesListingEveryMissingFile)
{
    temp_dir dir;
    const fs::path demo = source_dir() / "examples" / "demo";
    const run_result r = brv_pack(demo, dir / "demo.brp");
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_FALSE(fs::exists(dir / "demo.brp")) << "a refused folder leaves no package";
    EXPECT_TRUE(fs::is_empty(dir.path())) << "nor any temporary file";
    EXPECT_NE(std::string::npos, r.err.find("prog_firehose_demo.elf (firehose_filename, the programmer) is not in the folder"))
        << r.err;
    const std::vector<std::string> images = images_named_by(demo / "rawprogram0.xml");
    ASSERT_GT(images.size(), 5u);
    for (const std::string& image : images)
        EXPECT_TRUE(std::regex_search(r.err, std::regex("\n  " + image + " \\(image of .*\\) is not in the folder\n")))
            << image << " missing from:\n" << r.err;
    EXPECT_NE(std::string::npos, r.err.find("--force")) << "the way out is named";

    const run_result forced = brv_pack(demo, dir / "demo.brp", true);
    EXPECT_EQ(0, forced.status) << forced.err;
    EXPECT_TRUE(fs::exists(dir / "demo.brp"));
}

TEST(BrvPack, AcceptsTheStagedDemoFolder)
{
    temp_dir dir;
    const run_result r = brv_pack(demo_sources(), dir / "demo.brp");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("not a complete package")) << r.err;
    EXPECT_TRUE(fs::exists(dir / "demo.brp"));
}

struct broken_folder {
    const char* name;
    std::function<void(const fs::path&)> damage;
    std::vector<std::string> problems;  // exactly these, in this order
};

TEST(PackageCheck, NamesWhatAFlashWouldStumbleOver)
{
    const broken_folder cases[] = {
        {"complete", [](const fs::path&) {}, {}},
        {"no metadata", [](const fs::path& d) { fs::remove(d / "meta/params.txt"); },
         {"meta/params.txt is missing: it names the programmer, the program and patch files and the handset's storage"}},
        {"sector size left out",
         [](const fs::path& d) { replace_in(d / "meta/params.txt", "device_sector_size=512\n", ""); },
         {"meta/params.txt has no device_sector_size (bytes per sector, such as 512 or 4096)"}},
        {"memory type in capitals",
         [](const fs::path& d) { replace_in(d / "meta/params.txt", "=emmc", "=EMMC"); },
         {"meta/params.txt: device_memory_type=EMMC is neither emmc nor ufs"}},
        {"CR LF line ends",
         [](const fs::path& d) { replace_in(d / "meta/params.txt", "patch_filename=patch0.xml\n", "patch_filename=patch0.xml\r\n"); },
         {"meta/params.txt: the value of patch_filename ends with a carriage return; save the file with LF line ends"}},
        {"programmer not ELF", [](const fs::path& d) { write_file(d / "prog_firehose_demo.elf", "#!/bin/sh\n"); },
         {"prog_firehose_demo.elf (firehose_filename, the programmer) is not an ELF file; the handset runs only ELF "
          "programmers"}},
        {"program file without <data>",
         [](const fs::path& d) {
             replace_in(d / "rawprogram0.xml", "<data>", "<programs>");
             replace_in(d / "rawprogram0.xml", "</data>", "</programs>");
         },
         {"rawprogram0.xml (program_filename) is not a program file: it has no <data> element"}},
        {"patch file not XML", [](const fs::path& d) { write_file(d / "patch0.xml", "patch everything\n"); },
         {"patch0.xml (patch_filename) is not a patch file: it is not XML"}},
        {"image one byte too large",
         [](const fs::path& d) { fs::resize_file(d / "xbl.bin", 512 * 512 + 1); },
         {"xbl.bin (262145 bytes) is larger than its partition xbl (262144 bytes)"}},
        {"grow partition takes any size",
         [](const fs::path& d) { fs::resize_file(d / "userdata.img", 64 << 20); }, {}},
        // system_a has 4096 sectors of 512 bytes: 512 blocks of 4096 once expanded.
        {"sparse image that fills its partition", [](const fs::path& d) { make_system_sparse(d, 512); }, {}},
        {"sparse image expanding beyond its partition", [](const fs::path& d) { make_system_sparse(d, 513); },
         {"system.img (a sparse image expanding to 2101248 bytes) is larger than its partition system_a (2097152 bytes)"}},
        {"a partition the flash refuses",
         [](const fs::path& d) {
             replace_in(d / "rawprogram0.xml", R"(SECTOR_SIZE_IN_BYTES="512" file_sector_offset="0" filename="xbl.bin")",
                        R"(SECTOR_SIZE_IN_BYTES="4096" file_sector_offset="0" filename="xbl.bin")");
         },
         {"rawprogram0.xml (program_filename) would stop the flash: Bad sector size"}},
        {"patch file with a DTD",
         [](const fs::path& d) { replace_in(d / "patch0.xml", "<patches>", "<!DOCTYPE patches>\n<patches>"); },
         {"patch0.xml (patch_filename) would stop the flash: it declares a DTD or entities, which program files "
          "never have"}},
    };
    for (const broken_folder& c : cases) {
        temp_dir dir;
        const fs::path folder = dir / "demo";
        fs::copy(demo_sources(), folder, fs::copy_options::recursive);
        c.damage(folder);
        EXPECT_EQ(c.problems, check_package_folder(folder.string())) << c.name;
    }
}

} // namespace
