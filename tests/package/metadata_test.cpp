// meta/params.txt, meta/device.png and meta/notes.txt as an opened package shows them.
#include "fwpkg.h"
#include "package_test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace pkgtest;

namespace {

std::string as_string(const buffer& b)
{
    return std::string(reinterpret_cast<const char*>(b.c_ptr()), b.size());
}

class Metadata : public ::testing::Test {
protected:
    std::string package(const std::string& params, bool with_image = true, bool with_notes = true,
                        const std::string& tag = "")
    {
        std::vector<zip_member> members{{"meta/params.txt", params}};
        if (with_image)
            members.push_back({"meta/device.png", "PNG" + tag});
        if (with_notes)
            members.push_back({"meta/notes.txt", "notes" + tag});
        const auto path = dir / ("m" + std::to_string(++count) + ".brp");
        write_package(path, make_zip(members));
        return path.string();
    }

    std::string open_error(const std::string& path)
    {
        pkg.close();
        return error_text([&] { pkg.open(path); });
    }

    temp_dir dir;
    log_capture log;
    fwpkg pkg;
    int count = 0;
};

TEST_F(Metadata, KeysFillTheFields)
{
    pkg.open(package("# made by hand\n"
                     "device_code_name=tern\n"
                     "device_display_name=Tern One = Pro\n"
                     "device_memory_type=ufs\n"
                     "device_sector_size=4096\n"
                     "firehose_filename=prog_firehose.elf\n"
                     "program_filename=rawprogram0.xml\n"
                     "patch_filename=patch0.xml\n"
                     "unknown_key=whatever\n",
                     true, true, "1"));
    EXPECT_EQ(pkg.device_code_name(), "tern");
    EXPECT_EQ(pkg.device_display_name(), "Tern One = Pro");
    EXPECT_EQ(pkg.device_memory_type(), 2u);
    EXPECT_EQ(pkg.device_sector_size(), 4096u);
    EXPECT_EQ(pkg.firehose_filename(), "prog_firehose.elf");
    EXPECT_EQ(pkg.program_filename(), "rawprogram0.xml");
    EXPECT_EQ(pkg.patch_filename(), "patch0.xml");
    EXPECT_EQ(as_string(pkg.device_image()), "PNG1");
    EXPECT_EQ(as_string(pkg.package_notes()), "notes1");
    EXPECT_FALSE(log.has("I:Failed to read device image\n"));
}

TEST_F(Metadata, ValuesAreTakenLiterally)
{
    pkg.open(package("device_memory_type=emmc\r\ndevice_sector_size=512\r\nfirehose_filename=p.elf\r\n"));
    EXPECT_EQ(pkg.device_memory_type(), 0u);  // "emmc\r" is not a memory type
    EXPECT_EQ(pkg.device_sector_size(), 512u);
    EXPECT_EQ(pkg.firehose_filename(), "p.elf\r");

    EXPECT_EQ(open_error(package("device_memory_type=UFS\ndevice_sector_size=4096abc\n")), "no error");
    EXPECT_EQ(pkg.device_memory_type(), 0u);
    EXPECT_EQ(pkg.device_sector_size(), 4096u);

    EXPECT_EQ(open_error(package("device_memory_type=emmc\ndevice_sector_size=abc\n")), "no error");
    EXPECT_EQ(pkg.device_memory_type(), 1u);
    EXPECT_EQ(pkg.device_sector_size(), 0u);

    // A negative size counts as unset instead of a huge unsigned number.
    EXPECT_EQ(open_error(package("device_sector_size=-512\n")), "no error");
    EXPECT_EQ(pkg.device_sector_size(), 0u);

    // A leading space makes another key, which is ignored.
    EXPECT_EQ(open_error(package("device_sector_size=512\n device_sector_size=4096\n")), "no error");
    EXPECT_EQ(pkg.device_sector_size(), 512u);
}

TEST_F(Metadata, MissingPictureAndNotesKeepTheEarlierOnes)
{
    pkg.open(package("device_display_name=First\n", true, true, "A"));
    EXPECT_EQ(open_error(package("device_code_name=second\n", false, false)), "no error");
    EXPECT_TRUE(log.has("I:Failed to read device image\n"));
    EXPECT_TRUE(log.has("I:Failed to read notes\n"));
    EXPECT_EQ(as_string(pkg.device_image()), "PNGA");
    EXPECT_EQ(as_string(pkg.package_notes()), "notesA");
    EXPECT_EQ(pkg.device_display_name(), "First");
    EXPECT_EQ(pkg.device_code_name(), "second");

    fwpkg fresh;
    fresh.open(package("device_code_name=x\n", false, true));
    EXPECT_EQ(fresh.device_image().size(), 0u);
}

TEST_F(Metadata, BadParamsFailTheOpenButLeaveThePackageOpen)
{
    EXPECT_EQ(open_error(package("a=1\nb=2")), "meta/params.txt: Unterminated line");
    EXPECT_TRUE(pkg.is_open());
    EXPECT_EQ(open_error(package("=1\n")), "meta/params.txt: Invalid line");
    EXPECT_TRUE(pkg.is_open());

    const auto path = dir / "noparams.brp";
    write_package(path, make_zip({{"meta/notes.txt", "n"}}));
    EXPECT_EQ(open_error(path.string()), "Invalid package: cannot read meta/params.txt");
    EXPECT_TRUE(pkg.is_open());
}

TEST_F(Metadata, OversizedMembersAreRefusedWithoutTakingTheMemoryTheyClaim)
{
    const std::string params = "device_display_name=Big\n";
    constexpr std::uint64_t lie = 3ull << 30;  // what the directory claims; the data is tiny
    struct oversized {
        std::vector<zip_member> members;
        const char* error;  // out of open; empty when open succeeds
        const char* logged;
    };
    const oversized cases[] = {
        {{{"meta/params.txt", params, true, false, false, false, lie}},
         "fwpkg: meta/params.txt is too large: 3221225472 bytes, at most 1048576 allowed", ""},
        {{{"meta/params.txt", params}, {"meta/notes.txt", "n", true, false, false, false, lie}},
         "fwpkg: meta/notes.txt is too large: 3221225472 bytes, at most 1048576 allowed", ""},
        {{{"meta/params.txt", params}, {"meta/device.png", "p", true, false, false, false, (16u << 20) + 1}},
         "fwpkg: meta/device.png is too large: 16777217 bytes, at most 16777216 allowed", ""},
        // The directory claims little, the data inflates to more: stopped at the claim.
        {{{"meta/params.txt", params + std::string(2u << 20, '#'), true, false, false, false, params.size()}},
         "fwpkg: corrupt member meta/params.txt: it holds more than the 24 bytes its directory entry gives", ""},
        {{{"meta/params.txt", params}, {"meta/notes.txt", std::string(2u << 20, 'n'), true, false, false, false, 10}},
         "",
         "I:fwpkg: corrupt member meta/notes.txt: it holds more than the 10 bytes its directory entry gives\n"},
    };
    for (const oversized& c : cases) {
        const auto path = dir / "big.brp";
        write_package(path, make_zip(c.members));
        log.clear();
        EXPECT_EQ(open_error(path.string()), *c.error ? c.error : "no error");
        if (*c.logged) {
            EXPECT_TRUE(log.has("I:Failed to read notes\n"));
            EXPECT_TRUE(log.has(c.logged));
        }
    }
}

TEST_F(Metadata, FlashCheckNamesTheMissingOrUnusableKey)
{
    const std::string complete = "device_memory_type=emmc\ndevice_sector_size=512\nfirehose_filename=p.elf\n"
                                 "program_filename=r.xml\npatch_filename=q.xml\n";
    auto without = [&](const std::string& key) {
        const std::size_t at = complete.find(key + "=");
        return complete.substr(0, at) + complete.substr(complete.find('\n', at) + 1);
    };
    const std::pair<std::string, const char*> cases[] = {
        {complete, ""},
        {without("device_memory_type"), "fwpkg: invalid metadata: missing device_memory_type in meta/params.txt"},
        {without("device_sector_size"), "fwpkg: invalid metadata: missing device_sector_size in meta/params.txt"},
        {without("firehose_filename"), "fwpkg: invalid metadata: missing firehose_filename in meta/params.txt"},
        {without("program_filename"), "fwpkg: invalid metadata: missing program_filename in meta/params.txt"},
        {without("patch_filename"), "fwpkg: invalid metadata: missing patch_filename in meta/params.txt"},
        {complete + "device_memory_type=UFS\r\n",
         "fwpkg: invalid metadata: unusable device_memory_type=UFS\\x0d in meta/params.txt"},
        {complete + "patch_filename=\n", "fwpkg: invalid metadata: unusable patch_filename= in meta/params.txt"},
    };
    for (const auto& [params, error] : cases) {
        fwpkg p;
        p.open(package(params));
        std::string got;
        try {
            p.check_metadata();
        } catch (const std::runtime_error& e) {
            got = e.what();
        }
        EXPECT_EQ(got, error) << params;
    }
}

} // namespace
