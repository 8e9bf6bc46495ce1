// The flash procedure end to end: a package built from fixture files, written
// onto the virtual handset through the real USB layer and protocol clients.
#include "byte_order.h"
#include "elf_image.h"
#include "brp_source.h"
#include "handset_reader.h"
#include "fwpkg.h"
#include "package_test_support.h"
#include "test_package.h"
#include "usb.h"
#include "handset_options.h"
#include "vhandset.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

using namespace pkgtest;
using testsupport::make_elf_from_segments;
using testsupport::pack_folder;

namespace {

constexpr std::uint64_t disk_bytes = 1 << 20;
constexpr unsigned detach_wait_ms = 3000;

using part = testsupport::package_partition;
using patch = testsupport::package_patch;

// Two of them are DISK patches, which the flash sends; the others it skips.
const std::vector<patch> standard_patches{
    {"gpt_main0.bin", 0, 1, 32, 8, 77},
    {"DISK", 0, 1, 32, 4, 0x11223344},
    {"disk", 0, 1, 40, 4, 0x55667788},
    {"DISK", 0, 2, 0, 2, 0xBEEF},
};

// One handset kind with the package for it and the LUN contents the test expects.
class Flash : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("BRV_PROGRAMMER_WAIT_MS", "0", 1);
        use_memory("emmc");
    }

    void TearDown() override
    {
        vhandset::detach_all();
    }

    void use_memory(const std::string& memory)
    {
        opts.memory = memory;
        opts.disk_size = disk_bytes;
        sector_size = memory == "emmc" ? 512 : 4096;
        luns = memory == "emmc" ? 1 : 6;
    }

    // The package for this handset kind: the parts, the patches, a programmer,
    // a picture and notes.
    testsupport::package_folder folder(const std::vector<part>& parts = {}, const std::vector<patch>& patches = {}) const
    {
        testsupport::package_folder f;
        f.memory = opts.memory;
        f.sector_size = sector_size;
        f.programmer = make_elf_from_segments(false, {pattern_bytes(6000, 78)});
        f.partitions = parts;
        f.patches = patches;
        f.extra = {{"meta/device.png", pattern_bytes(200, 77)}, {"meta/notes.txt", "Test release\n"}};
        return f;
    }

    std::string program_xml(const std::vector<part>& parts) const { return folder(parts).program_xml(); }
    std::string patch_xml(const std::vector<patch>& patches) const { return folder({}, patches).patch_xml(); }
    std::string params() const { return folder().params(); }

    // Packs the parts, the patches and the extra members (which override the
    // generated ones of the same name) and opens the package.
    void make_package(const std::vector<part>& parts, const std::vector<patch>& patches,
                      const std::map<std::string, std::string>& extra = {})
    {
        testsupport::package_folder f = folder(parts, patches);
        for (const auto& [name, bytes] : extra)
            f.extra[name] = bytes;
        pack_folder(dir / "source", dir / "test.brp", f.files());
        pkg.open((dir / "test.brp").string());
    }

    // Gives every LUN a recognisable old content and attaches the handset.
    void attach()
    {
        const auto state = dir / "handset";
        std::filesystem::remove_all(state);  // a fresh transcript for every handset
        luns_before.clear();
        for (unsigned lun = 0; lun < luns; ++lun) {
            luns_before.push_back(pattern_bytes(opts.disk_size, 1000 + lun));
            write_file(state / ("lun" + std::to_string(lun) + ".img"), luns_before.back());
        }
        expected = luns_before;
        handset = vhandset::attach(opts, state);
    }

    bool flash(std::uint32_t type, bool no_write = false)
    {
        flash_options options;
        options.type = type;
        options.no_write = no_write;
        return flash_with(options);
    }

    bool flash_with(const flash_options& options)
    {
        const int handle = usb_open_vidpid(edl_vidpid, true);
        if (handle < 0)
            throw std::runtime_error("test: cannot open the handset");
        try {
            result = flash_package(pkg, handle, rec, options);
            usb_close(handle);
            return true;
        } catch (...) {
            usb_close(handle);
            throw;
        }
    }

    std::string flash_error(std::uint32_t type, const flash_options& base = {})
    {
        flash_options options = base;
        options.type = type;
        return error_text([&] { flash_with(options); });
    }

    std::vector<std::string> lines_starting(const std::string& prefix) const
    {
        std::vector<std::string> out;
        for (const std::string& line : handset->transcript())
            if (line.rfind(prefix, 0) == 0)
                out.push_back(line.substr(prefix.size()));
        return out;
    }

    void add_fault(const std::string& text) { vhandset::parse_option(opts, "fault", text); }

    // What the handset should hold once the part is written: the image at its
    // first sector, zeros to the partition's end.
    void expect_written(const part& p)
    {
        std::string region = p.image;
        region.resize(std::size_t{p.sectors} * sector_size, '\0');
        expected[p.lun].replace(std::size_t{p.start} * sector_size, region.size(), region);
    }

    void expect_patched(const patch& p)
    {
        std::string value;
        append_le64(value, p.value);
        expected[p.lun].replace(std::size_t{p.sector} * sector_size + p.byte_offset, p.size, value, 0, p.size);
    }

    // What a full flash of these parts with the standard patches leaves: every
    // part with an image written, the two DISK patches applied, the handset reset.
    void check_full_flash(const std::vector<part>& parts)
    {
        for (const part& p : parts)
            if (!p.file.empty() && p.sectors != 0)
                expect_written(p);
        expect_patched(standard_patches[1]);
        expect_patched(standard_patches[3]);
        check_luns();
    }

    // After a reset the handset leaves the bus; a refused flash leaves it on.
    void check_luns(bool reset_sent = true)
    {
        if (reset_sent) {
            EXPECT_TRUE(handset->wait_detached(detach_wait_ms));
        }
        for (unsigned lun = 0; lun < luns; ++lun) {
            const std::string now = read_file(handset->lun_image(lun));
            ASSERT_EQ(now.size(), expected[lun].size()) << "lun " << lun;
            if (now == expected[lun])
                continue;
            std::size_t at = 0;
            while (now[at] == expected[lun][at])
                ++at;
            ADD_FAILURE() << "lun " << lun << " differs first at byte " << at << " (sector " << at / sector_size
                          << ")";
        }
    }

    // The programmer's requests as "<name> <label or filename>", in order.
    std::vector<std::string> requests() const
    {
        const std::string prefix = "firehose <";
        std::vector<std::string> out;
        for (const std::string& line : handset->transcript()) {
            if (line.rfind(prefix, 0) != 0)
                continue;
            const std::string rest = line.substr(prefix.size());
            const std::string name = rest.substr(0, rest.find_first_of(" />"));
            if (name == "program")
                out.push_back("program " + attribute(rest, "label"));
            else if (name == "patch")
                out.push_back("patch " + attribute(rest, "filename"));
            else if (name == "power" || name == "configure")
                out.push_back(name);
        }
        return out;
    }

    bool nothing_requested_but_configure() const
    {
        const std::vector<std::string> heard = requests();
        return std::all_of(heard.begin(), heard.end(), [](const std::string& r) { return r == "configure"; });
    }

    static std::string attribute(const std::string& element, const std::string& name)
    {
        const std::string key = " " + name + "=\"";
        const std::size_t at = element.find(key);
        if (at == std::string::npos)
            return "?";
        const std::size_t start = at + key.size();
        return element.substr(start, element.find('"', start) - start);
    }

    std::vector<std::string> raw_lines() const
    {
        std::vector<std::string> out;
        for (const std::string& line : handset->transcript())
            if (line.rfind("firehose raw ", 0) == 0)
                out.push_back(line);
        return out;
    }

    temp_dir dir;
    log_capture log;
    vhandset::handset_options opts;
    std::uint32_t sector_size = 512;
    unsigned luns = 1;
    std::vector<std::string> luns_before;
    std::vector<std::string> expected;
    std::shared_ptr<vhandset::handset> handset;
    progress_recorder rec;
    fwpkg pkg;
    flash_result result;
};

std::vector<part> emmc_parts()
{
    return {
        {"xbl", "xbl.elf", 40, 16, pattern_bytes(5000, 1)},
        {"grow", "", 1000, 0, ""},
        {"boot", "boot.img", 100, 8, pattern_bytes(1000, 2)},
        {"modem", "modem.bin", 120, 12, pattern_bytes(4096, 3)},
        {"system", "system.img", 200, 64, pattern_bytes(20000, 4)},
        {"cache", "cache.img", 300, 0, "never"},
        {"userdata", "userdata.img", 400, 32, pattern_bytes(3000, 5)},
    };
}

TEST_F(Flash, FullWritesBasePatchesOsThenResets)
{
    const std::vector<part> parts = emmc_parts();
    make_package(parts, standard_patches);
    attach();
    ASSERT_TRUE(flash(full));
    check_full_flash(parts);

    const std::vector<std::string> order{"configure",      "program xbl",    "program modem", "patch DISK",
                                         "patch DISK",     "program boot",   "program system",
                                         "program userdata", "power"};
    EXPECT_EQ(requests(), order);
    // The 1000-byte boot image travels as its whole 8-sector partition.
    const std::vector<std::string> raw = raw_lines();
    ASSERT_EQ(raw.size(), 5u);
    EXPECT_EQ(raw[2], "firehose raw 4096 bytes");

    // Progress counts bytes (every partition's sectors, then one step for the
    // patches), after a first pass that reads every image through its CRC.
    const std::uint64_t partition_bytes_written = (16 + 12 + 8 + 64 + 32) * 512;
    EXPECT_EQ(rec.max_seen(), partition_bytes_written + 1);
    EXPECT_EQ(rec.values().back(), partition_bytes_written + 1);
    const std::vector<std::string> messages{"Checking xbl.elf",            "Checking modem.bin",
                                            "Checking boot.img",           "Checking system.img",
                                            "Checking userdata.img",
                                            "Writing xbl.elf to xbl",      "Writing modem.bin to modem",
                                            "Patching",                    "Writing boot.img to boot",
                                            "Writing system.img to system", "Writing userdata.img to userdata"};
    EXPECT_EQ(rec.messages(), messages);
    for (const char* line : {"I:Sending programmer\n", "I:Connected\n", "I:Ignoring grow: no file\n",
                             "I:Ignoring cache: zero sectors\n", "I:Not DISK patch, skipping\n",
                             "I:Finished programming, resetting device...\n"})
        EXPECT_TRUE(log.has(line)) << line;
    EXPECT_EQ(log.count("I:Not DISK patch, skipping\n"), 2u);
}

TEST_F(Flash, UfsLunsGetTheirImagesAtFullPartitionSize)
{
    use_memory("ufs");
    std::vector<part> parts{
        {"xbl_a", "xbl.elf", 6, 4, pattern_bytes(9000, 11), 1},
        {"abl_a", "abl.elf", 6, 2, pattern_bytes(4096, 12), 4},
        {"boot_a", "boot.img", 20, 8, pattern_bytes(30000, 13), 0},
        {"vendor_a", "vendor.img", 40, 16, pattern_bytes(1, 14), 0},
        {"userdata", "userdata.img", 100, 40, pattern_bytes(70000, 15), 0},
    };
    const std::vector<patch> patches{{"DISK", 1, 1, 8, 8, 0xCAFEF00D}, {"gpt_backup1.bin", 1, 2, 0, 4, 1}};
    make_package(parts, patches);
    attach();
    ASSERT_TRUE(flash(0));  // no type chosen: same as full

    for (const part& p : parts)
        expect_written(p);
    expect_patched(patches[0]);
    check_luns();
    EXPECT_EQ(requests(), (std::vector<std::string>{"configure", "program xbl_a", "program abl_a", "patch DISK",
                                                    "program boot_a", "program vendor_a", "program userdata", "power"}));
}

TEST_F(Flash, KeepDataLeavesUserdataAloneButWritesOtherSlots)
{
    std::vector<part> parts = emmc_parts();
    parts.push_back({"userdata_b", "userdata_b.img", 500, 8, pattern_bytes(100, 6)});
    make_package(parts, standard_patches);
    attach();
    ASSERT_TRUE(flash(keep_data));

    for (const part& p : parts)
        if (!p.file.empty() && p.sectors != 0 && p.label != "userdata")
            expect_written(p);
    expect_patched(standard_patches[1]);
    expect_patched(standard_patches[3]);
    check_luns();
    EXPECT_EQ(requests(), (std::vector<std::string>{"configure", "program xbl", "program modem", "patch DISK",
                                                    "patch DISK", "program boot", "program system",
                                                    "program userdata_b", "power"}));
    EXPECT_EQ(rec.max_seen(), (16u + 12 + 8 + 64 + 8) * 512 + 1);
}

TEST_F(Flash, BaseOnlyWritesBasePartitionsAndPatches)
{
    const std::vector<part> parts{
        {"xbl", "xbl.elf", 40, 16, pattern_bytes(5000, 1)},
        {"boot_b", "boot.img", 100, 8, pattern_bytes(1000, 2)},
        {"system", "system.img", 200, 64, pattern_bytes(20000, 4)},
    };
    make_package(parts, standard_patches);
    attach();
    ASSERT_TRUE(flash(base_only));

    expect_written(parts[0]);
    expect_patched(standard_patches[1]);
    expect_patched(standard_patches[3]);
    check_luns();
    EXPECT_EQ(requests(), (std::vector<std::string>{"configure", "program xbl", "patch DISK", "patch DISK", "power"}));
    EXPECT_EQ(rec.max_seen(), 16u * 512 + 1);
}

TEST_F(Flash, CancelStopsWithNothingWrittenUntilTheFirstWriteThenSkipsOnlyOsPartitions)
{
    const std::vector<part> parts = emmc_parts();
    const std::vector<std::string> everything{"configure",      "program xbl",    "program modem", "patch DISK",
                                              "patch DISK",     "program boot",   "program system",
                                              "program userdata", "power"};
    struct case_ {
        const char* at;  // the progress message during which the cancel comes
        bool backup;
        std::vector<std::string> requests;  // empty: the flash stops, nothing written
        std::size_t skipped;
    };
    const case_ cases[] = {
        {"Checking boot.img", false, {}, 0},
        {"Saving modem to ", true, {}, 0},
        {"Writing xbl.elf to xbl", false,
         {"configure", "program xbl", "program modem", "patch DISK", "patch DISK", "power"}, 3},
        {"Writing userdata.img to userdata", false, everything, 0},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.at);
        vhandset::detach_all();
        pkg.close();
        make_package(parts, standard_patches);
        attach();
        rec.on_change([&] {
            if (rec.message().rfind(c.at, 0) == 0)
                pkg.cancel();
        });
        flash_options options;
        if (c.backup)
            options.backup_dir = (dir / ("saved" + std::to_string(&c - cases))).string();
        if (c.requests.empty()) {
            EXPECT_EQ(flash_error(full, options), "Cancelled: nothing was written to the handset. Flash again when "
                                                  "ready, or unplug the handset to restart it.");
            check_luns(false);
            EXPECT_TRUE(raw_lines().empty());
            continue;
        }
        options.type = full;
        ASSERT_TRUE(flash_with(options));
        EXPECT_EQ(requests(), c.requests);
        EXPECT_EQ(result.skipped, c.skipped);
    }
}

TEST_F(Flash, NoWriteSendsTheSameRequestsAndChangesNothing)
{
    const std::vector<part> parts = emmc_parts();
    make_package(parts, standard_patches);
    attach();
    ASSERT_TRUE(flash(full, true));
    check_luns();  // nothing expected to change
    const std::vector<std::string> dry = handset->transcript();
    const std::vector<std::string> dry_raw = raw_lines();

    vhandset::detach_all();
    std::filesystem::remove_all(dir / "handset");
    attach();
    ASSERT_TRUE(flash(full, false));
    const std::vector<std::string> wet = handset->transcript();

    ASSERT_EQ(dry.size(), wet.size());
    for (std::size_t i = 0; i < dry.size(); ++i) {
        if (dry[i].rfind("firehose <configure", 0) == 0) {
            EXPECT_NE(dry[i].find("SkipWrite=\"1\""), std::string::npos) << dry[i];
            EXPECT_NE(wet[i].find("SkipWrite=\"0\""), std::string::npos) << wet[i];
        } else {
            EXPECT_EQ(dry[i], wet[i]);
        }
    }
    EXPECT_EQ(dry_raw.size(), 5u);
}

TEST_F(Flash, BackupGivesEveryPartitionAFileOfItsOwn)
{
    // modem twice, and labels that take the names numbering would give it,
    // also as a file system that ignores case sees them.
    const std::vector<part> parts{
        {"modem", "modem.bin", 120, 12, pattern_bytes(100, 3)},  {"modem", "modem2.bin", 140, 4, pattern_bytes(100, 4)},
        {"modem_1", "m1.bin", 150, 4, pattern_bytes(100, 5)},     {"MODEM_2", "m2.bin", 160, 4, pattern_bytes(100, 6)},
    };
    make_package(parts, {});
    attach();
    flash_options options;
    options.backup_dir = (dir / "saved").string();
    ASSERT_TRUE(flash_with(options));
    const std::pair<const char*, const part*> files[] = {
        {"modem_3.img", &parts[0]}, {"modem_4.img", &parts[1]}, {"modem_1.img", &parts[2]}, {"MODEM_2.img", &parts[3]}};
    for (const auto& [name, p] : files)
        EXPECT_EQ(read_file(dir / "saved" / name),
                  luns_before[0].substr(std::size_t{p->start} * sector_size, p->sectors * sector_size))
            << name;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "saved"), std::filesystem::directory_iterator()),
              4);
}

TEST_F(Flash, BackupNeverWritesThroughWhatIsAlreadyThere)
{
    // Another program's file, or a link, where a backup file would go is
    // refused before anything is read or written.
    const std::string theirs = "another program's file";
    struct case_ {
        const char* name;  // in the backup directory
        bool link;         // a link to theirs, else a file holding theirs
    };
    const case_ cases[] = {{"xbl.img", false}, {"xbl.img", true}};
    for (const case_& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.link ? " link" : " file"));
        vhandset::detach_all();
        pkg.close();
        std::filesystem::remove_all(dir / "saved");
        write_file(dir / "theirs", theirs);
        std::filesystem::create_directories(dir / "saved");
        if (c.link)
            std::filesystem::create_symlink(dir / "theirs", dir / "saved" / c.name);
        else
            write_file(dir / "saved" / c.name, theirs);
        make_package(emmc_parts(), standard_patches);
        attach();
        flash_options options;
        options.backup_dir = (dir / "saved").string();
        EXPECT_EQ(flash_error(full, options), "Checking the package failed: Backup: " + (dir / "saved" / c.name).string() +
                                                  " already exists; give an empty directory, or move the earlier "
                                                  "backup away. Nothing was written to the handset; correct the cause "
                                                  "and flash again.");
        EXPECT_TRUE(nothing_requested_but_configure());
        EXPECT_EQ(read_file(dir / "theirs"), theirs);
        EXPECT_EQ(read_file(dir / "saved" / c.name), theirs);
    }
}

TEST_F(Flash, ProgrammerThatCannotSendASectorIsRefusedBeforeWriting)
{
    use_memory("ufs");
    opts.max_payload_from_target = 512;
    // Without the programmer's digests, verifying means reading back.
    opts.without_verbs = {"getsha256digest"};
    const std::vector<part> parts{{"xbl_a", "xbl.elf", 6, 4, pattern_bytes(9000, 11), 1}};
    const std::string cause = "Connecting to the programmer failed: the programmer sends at most 512 bytes per read, "
                              "less than one sector of 4096 bytes, so ";
    struct case_ {
        const char* name;
        flash_options options;
    };
    flash_options read_back;
    read_back.read_back = true;
    flash_options backup;
    backup.backup_dir = (dir / "saved").string();
    for (const case_& c : {case_{"read back", read_back}, case_{"backup", backup}}) {
        SCOPED_TRACE(c.name);
        vhandset::detach_all();
        pkg.close();
        make_package(parts, {});
        attach();
        EXPECT_EQ(flash_error(full, c.options), cause + "the partitions cannot be saved or read back. Nothing was "
                                                        "written to the handset; correct the cause and flash again.");
        EXPECT_TRUE(raw_lines().empty());
        EXPECT_TRUE(lines_starting("firehose <read").empty());
    }

    // What only reads (brv read, brv partitions) is refused as early.
    vhandset::detach_all();
    attach();
    const int handle = usb_open_vidpid(edl_vidpid, true);
    ASSERT_GE(handle, 0);
    std::string error;
    try {
        brp_source source(pkg);
        handset_reader reader(source, handle);
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    usb_close(handle);
    EXPECT_EQ(error, cause + "it cannot read the handset. Nothing was written to the handset.");
}

// Each package fault stops the flash before anything is written (the checks
// run while the programmer is uploaded and configured): the handset gets no
// program, patch or power request, and the user is told nothing was written.
class FlashRefusal : public Flash {
protected:
    void expect_refused_before_writing(const std::string& message)
    {
        attach();
        EXPECT_EQ(flash_error(full), "Checking the package failed: " + message +
                                         ". Nothing was written to the handset; correct the cause and flash again.");
        check_luns(false);
        EXPECT_TRUE(nothing_requested_but_configure());
    }
};

TEST_F(FlashRefusal, BadElementLastInTheProgramList)
{
    std::vector<part> parts = emmc_parts();
    parts.push_back({"persist", "persist.img", 600, 8, "p", 0, 1});
    make_package(parts, standard_patches);
    expect_refused_before_writing("file_sector_offset is not zero");
}

TEST_F(FlashRefusal, PartitionReaching4GiB)
{
    std::vector<part> parts = emmc_parts();
    parts.push_back({"super", "super.img", 600, 4294967296u, "s"});
    make_package(parts, standard_patches);
    expect_refused_before_writing("Partition too large: super (4294967296 sectors; the programmer counts at most "
                                  "4294967295)");
}

TEST_F(FlashRefusal, ImageLargerThanItsPartition)
{
    std::vector<part> parts = emmc_parts();
    parts.push_back({"vbmeta", "vbmeta.img", 600, 1, pattern_bytes(513, 9)});
    make_package(parts, standard_patches);
    expect_refused_before_writing("buffer too small for file: vbmeta.img has 513 bytes, partition vbmeta 512");
}

TEST_F(FlashRefusal, LunTheStorageDoesNotHave)
{
    std::vector<part> parts = emmc_parts();
    parts[3].lun = 1;
    make_package(parts, standard_patches);
    expect_refused_before_writing("program modem: physical_partition_number 1, but eMMC storage has only LUN 0");

    vhandset::detach_all();
    pkg.close();
    use_memory("ufs");
    std::vector<patch> patches = standard_patches;
    patches[3].lun = 6;
    make_package({{"xbl_a", "xbl.elf", 6, 4, pattern_bytes(9000, 11), 1}}, patches);
    expect_refused_before_writing("DISK patch 2: physical_partition_number 6, but UFS storage has LUNs 0 to 5");
}

TEST_F(FlashRefusal, ImageMissingFromTheArchive)
{
    const std::vector<part> parts = emmc_parts();
    std::vector<part> listed = parts;
    listed.push_back({"dtbo", "dtbo.img", 600, 1, "d"});
    make_package(parts, standard_patches, {{"rawprogram0.xml", program_xml(listed)}});
    expect_refused_before_writing("Invalid package: cannot read dtbo.img");
}

TEST_F(FlashRefusal, ElementChecks)
{
    const std::vector<std::pair<std::string, const char*>> cases{
        {"<data><program label=\"\" filename=\"a\" SECTOR_SIZE_IN_BYTES=\"512\"/></data>", "no label"},
        {"<data><program label=\"a\" filename=\"\" SECTOR_SIZE_IN_BYTES=\"4096\"/></data>", "Bad sector size"},
        {"<?xml version=\"1.0\"?><programs><program label=\"a\"/></programs>", "Cannot find program data"},
        {"garbage", "Cannot find program data"},
    };
    for (const auto& [xml, message] : cases) {
        vhandset::detach_all();
        pkg.close();
        make_package(emmc_parts(), standard_patches, {{"rawprogram0.xml", xml}});
        log.clear();
        expect_refused_before_writing(message);
    }
}

TEST_F(FlashRefusal, PatchChecks)
{
    const std::vector<std::pair<std::string, const char*>> cases{
        {"<patches><patch filename=\"DISK\"/><patch what=\"x\"/></patches>", "patch has no filename"},
        {"<data/>", "Cannot find patch data"},
    };
    for (const auto& [xml, message] : cases) {
        vhandset::detach_all();
        pkg.close();
        make_package(emmc_parts(), standard_patches, {{"patch0.xml", xml}});
        expect_refused_before_writing(message);
    }
}

TEST_F(FlashRefusal, CorruptImageIsNotWritten)
{
    const std::vector<part> parts{
        {"xbl", "xbl.elf", 40, 16, pattern_bytes(5000, 1)},
        {"tz", "tz.mbn", 80, 8, pattern_bytes(3000, 2)},
    };
    std::vector<zip_member> members{
        {"meta/params.txt", params()},
        {"prog_firehose.elf", make_elf_from_segments(false, {pattern_bytes(6000, 78)})},
        {"rawprogram0.xml", program_xml(parts)},
        {"patch0.xml", patch_xml(standard_patches)},
        {"xbl.elf", parts[0].image},
        {"tz.mbn", parts[1].image, false, true},
    };
    write_package(dir / "crc.brp", make_zip(members));
    pkg.open((dir / "crc.brp").string());
    expect_refused_before_writing("fwpkg: corrupt member tz.mbn");
    EXPECT_TRUE(raw_lines().empty());
}

TEST_F(FlashRefusal, MissingProgrammer)
{
    pack_folder(dir / "source", dir / "noprog.brp",
                {{"meta/params.txt", params()}, {"rawprogram0.xml", program_xml({})}, {"patch0.xml", patch_xml({})}});
    pkg.open((dir / "noprog.brp").string());
    expect_refused_before_writing("Invalid package: cannot read prog_firehose.elf");
}

TEST_F(Flash, PreconditionsNeedNoHandset)
{
    progress_recorder r;
    EXPECT_THROW(flash_package(pkg, -1, r, {}), std::runtime_error);
    try {
        flash_package(pkg, -1, r, {});
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "fwpkg: not open");
    }

    for (const char* params : {"device_sector_size=512\nfirehose_filename=p\nprogram_filename=r\npatch_filename=q\n",
                               "device_memory_type=emmc\nfirehose_filename=p\nprogram_filename=r\npatch_filename=q\n",
                               "device_memory_type=ufs\ndevice_sector_size=4096\nprogram_filename=r\npatch_filename=q\n"}) {
        fwpkg p;
        pack_folder(dir / "source", dir / "meta.brp", {{"meta/params.txt", params}});
        p.open((dir / "meta.brp").string());
        try {
            flash_package(p, -1, r, {});
            ADD_FAILURE() << "flash accepted " << params;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind("fwpkg: invalid metadata: missing ", 0), 0u) << e.what();
        }
    }

    // A flash while verification runs is refused by the busy guard.
    make_package(emmc_parts(), standard_patches);
    std::string nested;
    rec.on_change([&] {
        if (!nested.empty())
            return;
        progress_recorder inner;
        try {
            flash_package(pkg, -1, inner, {});
            nested = "no error";
        } catch (const std::runtime_error& e) {
            nested = e.what();
        }
    });
    EXPECT_TRUE(pkg.verify(rec));
    EXPECT_EQ(nested, "Object in use");
}

// A hand-made Android sparse image with 4096-byte blocks.
struct sparse_chunk {
    std::uint16_t type;  // 0xcac1 RAW, 0xcac2 FILL, 0xcac3 DONT_CARE, 0xcac4 CRC32
    std::uint32_t blocks;
    std::string body;
};

std::string sparse_image(const std::vector<sparse_chunk>& chunks, std::uint32_t total_blocks,
                         std::uint32_t block_size = 4096)
{
    std::string out;
    append_le32(out, 0xed26ff3a);
    append_le16(out, 1);
    append_le16(out, 0);
    append_le16(out, 28);
    append_le16(out, 12);
    append_le32(out, block_size);
    append_le32(out, total_blocks);
    append_le32(out, chunks.size());
    append_le32(out, 0);
    for (const sparse_chunk& c : chunks) {
        append_le16(out, c.type);
        append_le16(out, 0);
        append_le32(out, c.blocks);
        append_le32(out, 12 + c.body.size());
        out += c.body;
    }
    return out;
}

std::string le32(std::uint32_t v)
{
    std::string out;
    append_le32(out, v);
    return out;
}

TEST_F(Flash, SparseImagesAreExpandedRunByRun)
{
    // Blocks: 0-1 RAW, 2 FILL, 3-4 DONT_CARE (the partition keeps what it
    // held), 5 RAW, then a CRC32 of all that; the partition has 8 blocks.
    const std::string raw1 = pattern_bytes(2 * 4096, 21);
    const std::string raw2 = pattern_bytes(4096, 22);
    std::string expanded = raw1;
    for (int i = 0; i < 1024; ++i)
        expanded += le32(0xdeadbeef);
    expanded += std::string(2 * 4096, '\0') + raw2;
    const auto crc = static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(expanded.data()), static_cast<uInt>(expanded.size())));
    const std::string image = sparse_image({{0xcac1, 2, raw1}, {0xcac2, 1, le32(0xdeadbeef)}, {0xcac3, 2, ""},
                                            {0xcac1, 1, raw2}, {0xcac4, 0, le32(crc)}},
                                           6);
    std::vector<part> parts{{"xbl", "xbl.elf", 40, 16, pattern_bytes(5000, 1)},
                            {"system", "system.img", 200, 64, image, 0, 0, true},
                            {"vendor", "vendor.img", 300, 8, "plain bytes", 0, 0, true}};
    make_package(parts, {});
    attach();
    ASSERT_TRUE(flash(full));

    expect_written(parts[0]);
    expect_written(parts[2]);  // marked sparse but without the magic: written as it is
    auto& lun = expected[0];
    lun.replace(200 * 512, 3 * 4096, expanded.substr(0, 3 * 4096));
    lun.replace(200 * 512 + 5 * 4096, 4096, raw2);
    check_luns();
    EXPECT_EQ(requests(), (std::vector<std::string>{"configure", "program xbl", "program system", "program system",
                                                    "program vendor", "power"}));
    std::vector<std::string> placed;
    for (const std::string& line : handset->transcript())
        if (line.find("label=\"system\"") != std::string::npos)
            placed.push_back(attribute(line, "start_sector") + "+" + attribute(line, "num_partition_sectors") + " " +
                             attribute(line, "sparse"));
    EXPECT_EQ(placed, (std::vector<std::string>{"200+24 false", "240+8 false"}));
    EXPECT_TRUE(log.has("I:vendor.img is marked sparse but is no sparse image: written as it is\n"));

    // A damaged image is refused before anything is written.
    vhandset::detach_all();
    pkg.close();
    parts[1].image = sparse_image({{0xcac1, 2, raw1}, {0xcac2, 1, le32(0xdeadbeef)}, {0xcac4, 0, le32(crc ^ 1)}}, 3);
    make_package(parts, {});
    attach();
    const std::string error = flash_error(full);
    EXPECT_EQ(error.rfind("Checking the package failed: Sparse image system.img: chunk 3 of type CRC32", 0), 0u)
        << error;
    EXPECT_TRUE(nothing_requested_but_configure());
}

TEST_F(Flash, SkipIdenticalLeavesOutWhatTheHandsetHolds)
{
    // system is a sparse image of two runs (blocks 0-1, block 3); the handset
    // already holds xbl and the first run, so only the second run is written.
    const std::string raw1 = pattern_bytes(2 * 4096, 31);
    const std::string raw2 = pattern_bytes(4096, 32);
    const std::vector<part> parts{{"xbl", "xbl.elf", 40, 16, pattern_bytes(5000, 1)},
                                  {"system", "system.img", 200, 64,
                                   sparse_image({{0xcac1, 2, raw1}, {0xcac3, 1, ""}, {0xcac1, 1, raw2}}, 4), 0, 0, true}};
    make_package(parts, {});
    attach();
    expect_written(parts[0]);
    expected[0].replace(200 * 512, raw1.size(), raw1);
    write_file(dir / "handset" / "lun0.img", expected[0]);
    expected[0].replace(200 * 512 + 3 * 4096, raw2.size(), raw2);

    flash_options options;
    options.skip_identical = true;
    ASSERT_TRUE(flash_with(options));
    check_luns();
    EXPECT_EQ(requests(), (std::vector<std::string>{"configure", "program system", "power"}));
    EXPECT_EQ(lines_starting("firehose <getsha256digest").size(), 3u);  // xbl, then each run
    const std::vector<std::string> messages = rec.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Skipping xbl: the handset holds it already"), messages.end());

    // A programmer that will not hash xbl gets it written again; the flash goes on.
    const std::string held = expected[0];
    vhandset::detach_all();
    pkg.close();
    add_fault("firehose:getsha256digest:nak@1");
    make_package(parts, {});
    attach();
    expected[0] = held;
    write_file(dir / "handset" / "lun0.img", held);
    ASSERT_TRUE(flash_with(options));
    check_luns();
    EXPECT_EQ(requests(), (std::vector<std::string>{"configure", "program xbl", "power"}));
}

TEST_F(Flash, SparseImageOfManyShortRunsTakesTimeInProportionToItsData)
{
    // 10,000 one-block runs, each followed by a block the image leaves alone:
    // the time goes into the data and the requests, not into a wait per run.
    constexpr std::uint32_t runs = 10000;
    std::vector<sparse_chunk> chunks;
    for (std::uint32_t i = 0; i < runs; ++i) {
        chunks.push_back({0xcac1, 1, pattern_bytes(512, 100 + i % 7)});
        chunks.push_back({0xcac3, 1, ""});
    }
    opts.disk_size = 16 << 20;
    make_package({{"system", "system.img", 64, 2 * runs, sparse_image(chunks, 2 * runs, 512), 0, 0, true}}, {});
    attach();
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(flash(full));
    // About 3 s on an idle machine; a fixed wait of 20 ms per run took 200 s.
    // The bound leaves room for a machine busy with other work.
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(60));
    EXPECT_EQ(lines_starting("firehose <program").size(), runs);
    // The link is settled once, after the last run, not after each.
    EXPECT_EQ(lines_starting("firehose <nop").size(), 2u) << "the handshake's and the image's";
}

// ---- The cable and the programmer as real handsets behave ----

TEST_F(Flash, RawDataTravelsInNegotiatedPieces)
{
    const std::vector<part> parts{{"system", "system.img", 64, 4100, pattern_bytes(2 * 1048576 + 2048, 31)}};
    struct wire_case {
        const char* name;
        std::uint32_t handset_max;      // what the programmer accepts
        std::uint32_t proposal;         // what the host proposes first
        bool sector_writes;
        std::vector<std::string> configures;  // MaxPayloadSizeToTargetInBytes of each configure
        std::string writes;
    };
    const wire_case cases[] = {
        {"default", 1048576, 1048576, false, {"1048576"}, "3: 1048576x2 2048"},
        {"programmer takes less", 65536, 1048576, false, {"1048576", "65536"}, "33: 65536x32 2048"},
        {"classic proposal", 1048576, 16384, false, {"16384"}, "129: 16384x128 2048"},
        {"one sector per write", 1048576, 1048576, true, {"1048576"}, "4100: 512x4100"},
    };
    for (const wire_case& c : cases) {
        SCOPED_TRACE(c.name);
        vhandset::detach_all();
        pkg.close();
        opts.record_writes = true;
        opts.max_payload_to_target = c.handset_max;
        opts.disk_size = 4 << 20;
        make_package(parts, {});
        attach();
        flash_options options;
        options.link.max_payload_to_target = c.proposal;
        options.link.sector_writes = c.sector_writes;
        ASSERT_TRUE(flash_with(options));
        expect_written(parts[0]);
        check_luns();

        std::vector<std::string> configures;
        for (const std::string& line : lines_starting("firehose <configure")) {
            EXPECT_NE(line.find("ZLPAwareHost=\"0\""), std::string::npos) << line;
            configures.push_back(attribute(line, "MaxPayloadSizeToTargetInBytes"));
        }
        EXPECT_EQ(configures, c.configures);
        EXPECT_EQ(lines_starting("firehose writes "), std::vector<std::string>{c.writes});
    }
}

TEST_F(Flash, SlowStorageAndChattyProgrammersAreWaitedFor)
{
    // An ACK after a write may take well over a second on real eMMC; logs may
    // come late or long; a programmer left running by a failed flash sends no
    // HELLO but answers a nop.
    struct behaviour {
        const char* name;
        std::vector<std::string> faults;
        bool programmer_running;
        bool long_logs;
        const char* log_line;  // expected in our log
    };
    const behaviour cases[] = {
        {"slow ACK after the data", {"firehose:program:delay=800@2", "firehose:patch:delay=600@1"}, false, false,
         "I:Connected\n"},
        {"log after the nop's ACK", {"firehose:nop:latelog=100"}, false, false, "I:log: INFO: Late log after nop\n"},
        {"long logs", {}, false, true, "I:Connected\n"},
        {"programmer already running", {}, true, false, "I:No Sahara HELLO, but a programmer answers: using it\n"},
    };
    const std::vector<part> parts = emmc_parts();
    for (const behaviour& b : cases) {
        SCOPED_TRACE(b.name);
        vhandset::detach_all();
        pkg.close();
        log.clear();
        opts.faults.clear();
        for (const std::string& f : b.faults)
            add_fault(f);
        opts.programmer_running = b.programmer_running;
        opts.long_logs = b.long_logs;
        make_package(parts, standard_patches);
        attach();
        ASSERT_TRUE(flash(full));
        check_full_flash(parts);
        EXPECT_TRUE(log.has(b.log_line)) << b.log_line;
    }
}

TEST_F(Flash, AStartingProgrammerIsWaitedForUntilItAnswers)
{
    // The programmer takes 800 ms to start, longer than the handshake's
    // time-out: without a pause the connection fails, while waiting for its
    // answer flashes, well before the classic 3 s pause would have ended.
    opts.programmer_boot_ms = 800;
    const std::vector<part> parts = emmc_parts();
    make_package(parts, standard_patches);

    attach();
    flash_options no_pause;
    no_pause.wait.pause_ms = 0;
    EXPECT_EQ(flash_error(full, no_pause).rfind("Connecting to the programmer failed: the handset stopped answering", 0),
              0u);
    check_luns(false);

    vhandset::detach_all();
    attach();
    flash_options answered;
    answered.wait.until_answer = true;
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(flash_with(answered));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(3000));
    check_full_flash(parts);
}

TEST_F(Flash, FailuresSayWhereWhyAndWhatNow)
{
    const std::string nothing = ". Nothing was written to the handset; correct the cause and flash again.";
    const std::string may_not_start = ". The handset may not start until a flash completes: keep it in "
                                      "emergency-download mode (or unplug it and bring it back into that mode) "
                                      "and flash again.";
    struct failure {
        const char* name;
        std::vector<std::string> faults;
        std::vector<part> extra;
        std::string message;
        bool read_back = false;
        std::vector<std::string> without_verbs = {};  // a programmer without getsha256digest reads back
    };
    const std::vector<failure> cases{
        {"partition beyond the disk", {}, {{"vendor", "vendor.img", 2044, 8, "v"}},
         "Checking the partitions against the disk failed: Partition vendor (LUN 0) needs sectors 2044 to 2052, "
         "beyond the end of the disk (2048 sectors)" + nothing},
        {"silent at the handshake", {"firehose:nop:silence"}, {},
         "Connecting to the programmer failed: the handset stopped answering (Connection timed out)" + nothing},
        {"unplugged during a write", {"firehose:program:disconnect@2"}, {},
         "Writing modem.bin to modem (LUN 0) failed: the handset left the USB bus (No such device)" + may_not_start},
        {"refused with a reason", {"firehose:program:nak@3"}, {},
         "Writing boot.img to boot (LUN 0) failed: the programmer refused: no ack from target (programmer: "},
        // A first write refused outright left the handset as it was.
        {"first write refused", {"firehose:program:nak@1"}, {},
         "Writing xbl.elf to xbl (LUN 0) failed: the programmer refused: no ack from target (programmer: ERROR: "
         "Failed to run program)" + nothing},
        {"unplugged while reading back", {"firehose:read:disconnect@1"}, {},
         "Reading back xbl (LUN 0) failed: the handset left the USB bus (No such device)" + may_not_start, true,
         {"getsha256digest"}},
        {"unplugged while the handset hashes", {"firehose:getsha256digest:disconnect@1"}, {},
         "Verifying xbl (LUN 0) failed: the handset left the USB bus (No such device)" + may_not_start, true},
    };
    for (const failure& f : cases) {
        SCOPED_TRACE(f.name);
        vhandset::detach_all();
        pkg.close();
        opts.faults.clear();
        for (const std::string& text : f.faults)
            add_fault(text);
        opts.without_verbs = f.without_verbs;
        std::vector<part> parts = emmc_parts();
        parts.insert(parts.end(), f.extra.begin(), f.extra.end());
        make_package(parts, standard_patches);
        attach();
        const auto began = std::chrono::steady_clock::now();
        flash_options options;
        options.read_back = f.read_back;
        const std::string error = flash_error(full, options);
        EXPECT_EQ(error.substr(0, f.message.size()), f.message);
        if (f.message.find("refused") != std::string::npos && f.message.find(nothing) == std::string::npos) {
            EXPECT_NE(error.find(may_not_start), std::string::npos) << error;
        }
        // A handset that says nothing at the handshake fails fast.
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
        if (f.message.find(nothing) != std::string::npos) {
            EXPECT_TRUE(lines_starting("firehose raw").empty());
        }
    }

    // A handset that leaves the bus instead of acknowledging the reset was
    // flashed completely: that is a success.
    vhandset::detach_all();
    pkg.close();
    opts.faults.clear();
    add_fault("firehose:power:disconnect");
    make_package(emmc_parts(), standard_patches);
    attach();
    EXPECT_TRUE(flash(full));
}

} // namespace
