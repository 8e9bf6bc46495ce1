// A maker's UFS flat folder through brv against the virtual handset: flashed
// straight from the folder and through brv pack, each LUN compared with the
// other and with the fixture's own reference; the A/B switch read back by
// fdisk; erase and write by the bytes they change; every refusal by its text.
#include "flat_folder.h"
#include "tool_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using namespace tooltest;

namespace {

constexpr std::uint64_t lun_bytes = 16ull << 20;
constexpr std::uint64_t sector = testsupport::flat_folder::sector_size;

// The first byte at which two disks differ (npos: none), so a failure says where.
std::size_t first_difference(const std::string& a, const std::string& b)
{
    const auto at = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return at.first == a.end() && at.second == b.end() ? std::string::npos
                                                       : static_cast<std::size_t>(at.first - a.begin());
}

class BrvFolder : public ::testing::Test {
protected:
    BrvFolder() : folder(dir / "fw", lun_bytes) {}

    // brv ARGS with one UFS handset whose state lives in `state`.
    run_result brv(const std::vector<std::string>& args, const std::string& state = "state") const
    {
        std::vector<std::string> argv = {launcher_program().string(), "--state", (dir / state).string(),
                                         "--memory",                 "ufs",     "--disk-size",
                                         std::to_string(lun_bytes),  "--",      brv_program().string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, {"BRV_PROGRAMMER_WAIT_MS=0"});
    }
    void flash_folder(const std::string& state = "state") const
    {
        const run_result r = brv({"flash", folder.dir().string()}, state);
        ASSERT_EQ(0, r.status) << r.out << r.err;
    }
    std::string lun(unsigned n, const std::string& state = "state") const
    {
        const fs::path p = dir / state / ("lun" + std::to_string(n) + ".img");
        std::string bytes = fs::exists(p) ? read_text(p) : std::string();
        bytes.resize(lun_bytes, '\0');
        return bytes;
    }
    std::string range(unsigned n, std::uint64_t first, std::uint64_t sectors) const
    {
        return lun(n).substr(first * sector, sectors * sector);
    }
    bool handset_heard_nothing(const std::string& state = "state") const
    {
        const fs::path t = dir / state / "transcript.txt";
        return !fs::exists(t) || read_text(t).find("firehose <") == std::string::npos;
    }
    // fdisk's Name and Attrs columns of a LUN image, one "name attrs" line each.
    std::string fdisk_attributes(const fs::path& image) const
    {
        const run_result r = run({"/usr/sbin/fdisk", "-b", "4096", "-l", "-o", "Name,Attrs", image.string()});
        return r.out + r.err;
    }

    temp_dir dir;
    testsupport::flat_folder folder;
};

TEST_F(BrvFolder, FolderAndItsPackageWriteTheReferenceLuns)
{
    flash_folder();
    const run_result pack = brv({"pack", folder.dir().string(), "-o", (dir / "fw.brp").string(), "--name",
                                 "Fixture UFS", "--code-name", "fixture"});
    ASSERT_EQ(0, pack.status) << pack.err;
    const run_result info = brv({"info", (dir / "fw.brp").string()});
    EXPECT_NE(std::string::npos, info.out.find("Fixture UFS")) << info.out;
    EXPECT_NE(std::string::npos, info.out.find("rawprogram.xml")) << info.out;
    EXPECT_NE(std::string::npos, info.out.find("ufs")) << info.out;
    const run_result flashed = brv({"flash", (dir / "fw.brp").string()}, "from-package");
    ASSERT_EQ(0, flashed.status) << flashed.out << flashed.err;

    for (unsigned n = 0; n < testsupport::flat_folder::luns; ++n) {
        SCOPED_TRACE("LUN " + std::to_string(n));
        const std::string from_folder = lun(n);
        EXPECT_EQ(std::string::npos, first_difference(from_folder, folder.expected_lun(n)));
        EXPECT_EQ(std::string::npos, first_difference(from_folder, lun(n, "from-package")));
    }
}

TEST_F(BrvFolder, SlotSwitchRewritesBothTablesAndTheBootLun)
{
    const run_result blank = brv({"slot", folder.dir().string(), "b"});
    EXPECT_EQ(1, blank.status);
    EXPECT_NE(std::string::npos, blank.err.find("This handset has no A/B partitions")) << blank.err;
    EXPECT_NE(std::string::npos, blank.err.find("Nothing was written to the handset.")) << blank.err;

    flash_folder();
    EXPECT_EQ("Active slot: a\n", brv({"slot", folder.dir().string()}).out);
    const run_result r = brv({"slot", folder.dir().string(), "b"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("Active slot: b\n", brv({"slot", folder.dir().string()}).out);
    EXPECT_EQ("2\n", read_text(dir / "state" / "bootable_drive"));

    // Slot b active (bits 48-53: priority 3, active, 7 retries), slot a
    // demoted (priority 2, still successful), in the primary table and, with
    // the primary destroyed, in the backup.
    const std::regex b_active("boot_b +GUID:48,49,50,51,52,53\n");
    const std::regex a_fallback("boot_a +GUID:49,51,52,53,54\n");
    const std::string primary = fdisk_attributes(dir / "state" / "lun4.img");
    EXPECT_TRUE(std::regex_search(primary, b_active)) << primary;
    EXPECT_TRUE(std::regex_search(primary, a_fallback)) << primary;
    std::string damaged = lun(4);
    damaged.replace(sector, sector, std::string(sector, '\0'));
    write_file(dir / "backup-only.img", damaged);
    const std::string backup = fdisk_attributes(dir / "backup-only.img");
    EXPECT_NE(std::string::npos, backup.find("backup")) << backup;
    EXPECT_TRUE(std::regex_search(backup, b_active)) << backup;
    const std::string xbl = fdisk_attributes(dir / "state" / "lun2.img");
    EXPECT_TRUE(std::regex_search(xbl, std::regex("xbl_b +GUID:48,49,50,51,52,53\n"))) << xbl;

    // Everything else on the LUN is as the flash left it.
    EXPECT_EQ(std::string::npos, first_difference(lun(3), folder.expected_lun(3)));
}

TEST_F(BrvFolder, EraseAndWriteChangeExactlyTheirSectors)
{
    flash_folder();
    const auto& boot_b = folder.partition("boot_b");
    const std::string image = testsupport::pattern_bytes(100000, 77);
    write_file(dir / "new-boot.img", image);
    const std::string zeros(boot_b.sectors * sector, '\0');

    ASSERT_EQ(0, brv({"erase", folder.dir().string(), "boot_b"}).status);
    EXPECT_TRUE(range(4, boot_b.first, boot_b.sectors) == zeros);
    const run_result w = brv({"write", folder.dir().string(), "boot_b", (dir / "new-boot.img").string()});
    ASSERT_EQ(0, w.status) << w.err;
    std::string want = zeros;
    want.replace(0, image.size(), image);
    EXPECT_TRUE(range(4, boot_b.first, boot_b.sectors) == want);

    // A sector range, and a sparse image (the fixture's super, onto its erased partition).
    const run_result at = brv({"write", folder.dir().string(), (dir / "new-boot.img").string(), "--lun", "5",
                               "--start", "100"});
    ASSERT_EQ(0, at.status) << at.err;
    EXPECT_TRUE(range(5, 100, 25).substr(0, image.size()) == image);
    ASSERT_EQ(0, brv({"erase", folder.dir().string(), "super"}).status);
    const run_result sparse = brv({"write", folder.dir().string(), "super", (folder.dir() / "super.img").string()});
    ASSERT_EQ(0, sparse.status) << sparse.err;
    EXPECT_TRUE(range(0, folder.partition("super").first, 512) == folder.partition("super").content);

    // The WIPE variant: its erase elements run in document order around its write.
    const run_result wipe = brv({"flash", folder.dir().string(), "--program",
                                 (folder.dir() / "rawprogram5_WIPE_PARTITIONS.xml").string()});
    ASSERT_EQ(0, wipe.status) << wipe.err;
    const auto& modem = folder.partition("modemst1");
    const auto& fsg = folder.partition("fsg");
    EXPECT_TRUE(range(5, modem.first, modem.sectors).substr(0, modem.content.size()) == modem.content);
    EXPECT_TRUE(range(5, fsg.first, fsg.sectors) == std::string(fsg.sectors * sector, '\0'));

    // A whole LUN only with --yes, after saying what goes.
    const std::string lun3 = lun(3);
    const run_result refused = brv({"erase", folder.dir().string(), "--lun", "3"});
    EXPECT_EQ(1, refused.status);
    EXPECT_NE(std::string::npos, refused.err.find("This would erase all of LUN 3 (4096 sectors, 16.0 MiB), its "
                                                  "partition table and every partition on it: ALIGN_TO_128K_1, cdt, "
                                                  "last_parti. Nothing was erased. Give --yes to erase it."))
        << refused.err;
    EXPECT_TRUE(lun(3) == lun3);
    ASSERT_EQ(0, brv({"erase", folder.dir().string(), "--lun", "3", "--yes"}).status);
    EXPECT_TRUE(lun(3) == std::string(lun_bytes, '\0'));
}

TEST_F(BrvFolder, RefusalsComeBeforeTheFirstWrite)
{
    flash_folder();
    const std::string lun4 = lun(4);
    write_file(dir / "huge.img", std::string(65 * sector, 'x'));
    struct refusal {
        std::vector<std::string> args;
        std::string text;
    };
    const std::string fw = folder.dir().string();
    const refusal cases[] = {
        {{"write", fw, "boot_a", (dir / "huge.img").string()},
         "huge.img (266240 bytes) is larger than boot_a (LUN 4) (262144 bytes). Nothing was written to the handset."},
        {{"write", fw, "recovery_a", (dir / "huge.img").string()},
         "No partition labelled \"recovery_a\" on the handset (any LUN); brv partitions lists them. Nothing was written."},
        {{"erase", fw, "boot_a", "last_parti"},
         "The label \"last_parti\" names 5 partitions: last_parti (LUN 1, sectors 26 to 4090), last_parti (LUN 2, "
         "sectors 26 to 4090), last_parti (LUN 3, sectors 36 to 4090), last_parti (LUN 4, sectors 154 to 4090), "
         "last_parti (LUN 5, sectors 48 to 4090); choose one LUN with --lun. Nothing was erased."},
        {{"slot", fw, "c"}, "the slot is a or b, not 'c'"},
    };
    for (const refusal& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[2]);
        const run_result r = brv(c.args);
        EXPECT_NE(0, r.status);
        EXPECT_NE(std::string::npos, r.err.find(c.text)) << r.err;
    }
    EXPECT_TRUE(lun(4) == lun4);
}

TEST_F(BrvFolder, IncompleteFoldersAreRefusedBeforeTheHandsetHearsAnything)
{
    fs::remove(folder.dir() / "dtbo.img");
    fs::remove(folder.dir() / "cdt.bin");
    const run_result missing = brv({"flash", folder.dir().string()});
    EXPECT_EQ(1, missing.status);
    for (const char* line : {"dtbo.img (image of dtbo_a in rawprogram4.xml) is not there",
                             "cdt.bin (image of cdt in rawprogram3.xml) is not there", "(2 problems)"})
        EXPECT_NE(std::string::npos, missing.err.find(line)) << missing.err;
    EXPECT_EQ(std::string::npos, missing.err.find("dtbo_b")) << "each missing file is listed once";
    const run_result pack = brv({"pack", folder.dir().string(), "-o", (dir / "fw.brp").string()});
    EXPECT_EQ(1, pack.status);
    EXPECT_NE(std::string::npos, pack.err.find("dtbo.img (image of dtbo_a")) << pack.err;
    EXPECT_FALSE(fs::exists(dir / "fw.brp"));

    // Found elsewhere with --include.
    write_file(dir / "extra" / "dtbo.img", "x");
    write_file(dir / "extra" / "cdt.bin", "y");
    write_file(folder.dir() / "prog_firehose_lite.elf", read_text(folder.dir() / "prog_firehose_ddr.elf"));
    const run_result two = brv({"storage", folder.dir().string(), "--include", (dir / "extra").string()});
    EXPECT_EQ(1, two.status);
    EXPECT_NE(std::string::npos, two.err.find("several programmers in " + folder.dir().string() +
                                              ": prog_firehose_ddr.elf, prog_firehose_lite.elf; choose one with "
                                              "--programmer"))
        << two.err;
    EXPECT_TRUE(handset_heard_nothing());

    const run_result storage = brv({"storage", folder.dir().string(), "--include", (dir / "extra").string(),
                                    "--programmer", "prog_firehose_ddr.elf"});
    ASSERT_EQ(0, storage.status) << storage.err;
    EXPECT_NE(std::string::npos, storage.out.find("LUN 5: 4096 blocks of 4096 bytes (16.0 MiB), UFS\n")) << storage.out;
}

} // namespace
