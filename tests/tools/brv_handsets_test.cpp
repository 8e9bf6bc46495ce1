// brv against what is already on a handset, and against several handsets, all
// through the virtual handset with the demo package: read-back verification
// catches a flipped bit and names its sector, `brv partitions` agrees with
// sgdisk and falls back to the backup table, `brv read` and `--backup` save
// exactly the handset's bytes, and several handsets are told apart, chosen and
// flashed at once without one failure stopping the others.
#include "tool_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

using namespace tooltest;

namespace {

constexpr std::uint64_t sector_size = 512;

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& disk, std::uint64_t first, std::uint64_t sectors)
{
    const auto begin = disk.begin() + static_cast<std::ptrdiff_t>(first * sector_size);
    return std::vector<std::uint8_t>(begin, begin + static_cast<std::ptrdiff_t>(sectors * sector_size));
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

bool heard_anything(const fs::path& state)
{
    return fs::exists(state / "transcript.txt") && fs::file_size(state / "transcript.txt") > 0;
}

// A partition row as sgdisk -p and brv partitions both print it: number,
// first and last sector, size, then sgdisk's type code or brv's type GUID,
// then the name. sgdisk tells the GUID with -i.
struct row {
    std::string number, first, last, size, type, name;
    bool operator==(const row&) const = default;
};

std::vector<row> rows_of(const std::string& listing)
{
    const std::regex pattern(R"(^ *(\d+) +(\d+) +(\d+) +(\S+ \S+) +([0-9A-F]{4}|[0-9A-F-]{36})  (.*)$)");
    std::vector<row> out;
    for (const std::string& line : lines_of(listing)) {
        std::smatch m;
        if (std::regex_match(line, m, pattern))
            out.push_back({m[1], m[2], m[3], m[4], m[5], m[6]});
    }
    return out;
}

std::string sgdisk(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"/usr/sbin/sgdisk"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv).out;
}

class BrvHandsets : public ::testing::Test {
protected:
    // The demo flashed once onto a fresh handset: the disk every test compares with.
    static void SetUpTestSuite()
    {
        reference_dir = new scratch_dir;
        const run_result r = brv_on(reference_dir->path(), {}, {"flash", demo_package().string()});
        ASSERT_EQ(0, r.status) << r.err;
        reference = new std::vector<std::uint8_t>(read_bytes(reference_dir->path() / "lun0.img"));
        reference->resize(64u << 20);
    }
    static void TearDownTestSuite()
    {
        delete reference;
        delete reference_dir;
    }
    static fs::path reference_image() { return reference_dir->path() / "lun0.img"; }

    // A handset whose disk holds the reference, changed by `change`.
    fs::path flashed_state(const std::string& name, const std::function<void(std::vector<std::uint8_t>&)>& change = {})
    {
        std::vector<std::uint8_t> disk = *reference;
        if (change)
            change(disk);
        write_bytes(dir / name / "lun0.img", disk);
        return dir / name;
    }

    static scratch_dir* reference_dir;
    static std::vector<std::uint8_t>* reference;
    scratch_dir dir;
};

scratch_dir* BrvHandsets::reference_dir = nullptr;
std::vector<std::uint8_t>* BrvHandsets::reference = nullptr;

} // namespace

TEST_F(BrvHandsets, VerifyReadsBackAndNamesTheSectorThatDiffers)
{
    // The demo writes, in order: PrimaryGPT (34 sectors at 0), xbl (512 at 40),
    // xbl_config (128), abl_a (1024 at 680), abl_b, BackupGPT (33), then the OS
    // partitions from boot_a (2048 at 4784): 2755 base sectors in all.
    struct case_ {
        std::vector<std::string> handset;
        int status;
        std::string message;
    };
    const case_ cases[] = {
        {{}, 0, "Succeeded"},
        {{"--fault", "storage:write:flip@900"}, 1, "Verification failed: abl_a (LUN 0) differs at sector 905"},
        {{"--fault", "storage:write:flip@2800"}, 1, "Verification failed: boot_a (LUN 0) differs at sector 4828"},
    };
    for (const case_& c : cases) {
        scratch_dir state;
        const run_result r = brv_on(state.path(), c.handset, {"flash", demo_package().string(), "--verify"});
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_NE(std::string::npos, (r.out + r.err).find(c.message)) << r.out << r.err;
    }
}

TEST_F(BrvHandsets, VerifyComparesASparseImageOnlyOnTheRunsItWrote)
{
    // system_a (14256 sectors on) becomes a sparse image of 4096-byte blocks:
    // 2 RAW blocks, 2 DONT_CARE blocks, 1 RAW block. The handset's old bytes in
    // the DONT_CARE stretch stay and must not count as a difference.
    const fs::path src = dir / "src";
    fs::copy(demo_sources(), src, fs::copy_options::recursive);
    std::vector<std::uint8_t> image;
    auto le32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            image.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    auto le16 = [&](std::uint16_t v) {
        image.push_back(static_cast<std::uint8_t>(v));
        image.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    auto chunk = [&](std::uint16_t type, std::uint32_t blocks, std::uint32_t data_bytes, std::uint8_t fill) {
        le16(type);
        le16(0);
        le32(blocks);
        le32(12 + data_bytes);
        image.insert(image.end(), data_bytes, fill);
    };
    le32(0xed26ff3a);
    le16(1), le16(0), le16(28), le16(12);
    le32(4096), le32(5), le32(3), le32(0);
    chunk(0xcac1, 2, 8192, 0x5a);
    chunk(0xcac3, 2, 0, 0);
    chunk(0xcac1, 1, 4096, 0xa5);
    write_bytes(src / "system.img", image);
    std::string program = read_text(src / "rawprogram0.xml");
    const std::size_t at = program.find("filename=\"system.img\"");
    const std::size_t sparse = program.find("sparse=\"false\"", at);
    ASSERT_NE(std::string::npos, sparse);
    program.replace(sparse, 14, "sparse=\"true\"");
    write_text(src / "rawprogram0.xml", program);
    const fs::path package = dir / "sparse.brp";
    const run_result packed = run({brv_program().string(), "pack", src.string(), "-o", package.string()});
    ASSERT_EQ(0, packed.status) << packed.err;

    // 7491 sectors precede system_a's runs; its second run is sectors 14288 to 14295.
    struct case_ {
        std::vector<std::string> handset;
        int status;
        std::string message;
    };
    const case_ cases[] = {
        {{}, 0, "Succeeded"},
        {{"--fault", "storage:write:flip@7510"}, 1, "Verification failed: system_a (LUN 0) differs at sector 14290"},
    };
    for (const case_& c : cases) {
        const fs::path state = flashed_state("sparse", [](std::vector<std::uint8_t>& disk) {
            std::fill_n(disk.begin() + (14256 + 16) * sector_size, 16 * sector_size, 0xee);
        });
        const run_result r = brv_on(state, c.handset, {"flash", package.string(), "--verify"});
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_NE(std::string::npos, (r.out + r.err).find(c.message)) << r.out << r.err;
        const std::vector<std::uint8_t> disk = read_bytes(state / "lun0.img");
        EXPECT_EQ(std::vector<std::uint8_t>(16 * sector_size, 0xee), slice(disk, 14256 + 16, 16)) << "gap kept";
    }
}

TEST_F(BrvHandsets, PartitionsListsWhatSgdiskSeesAndFallsBackToTheBackupTable)
{
    std::vector<row> expected = rows_of(sgdisk({"-p", reference_image().string()}));
    ASSERT_EQ(17u, expected.size());
    for (row& r : expected) {
        std::smatch m;
        const std::string info = sgdisk({"-i", r.number, reference_image().string()});
        ASSERT_TRUE(std::regex_search(info, m, std::regex("Partition GUID code: ([0-9A-F-]{36})"))) << info;
        r.type = m[1];
    }

    constexpr std::uint64_t last_sector = (64u << 20) / sector_size - 1;
    struct case_ {
        const char* name;
        std::vector<std::uint64_t> damaged_bytes;  // offsets in the disk whose bytes are inverted
        int status;
        std::string note;
    };
    const case_ cases[] = {
        {"intact", {}, 0, ""},
        {"primary header", {sector_size + 24}, 0, "The primary GPT is unusable (header CRC"},
        {"primary entries", {2 * sector_size + 56}, 0, "The primary GPT is unusable (entry array CRC"},
        {"both headers", {sector_size + 16, last_sector * sector_size + 16}, 1, "no valid GPT (primary: header CRC"},
    };
    for (const case_& c : cases) {
        const fs::path state = flashed_state(c.name, [&](std::vector<std::uint8_t>& disk) {
            for (std::uint64_t at : c.damaged_bytes)
                disk[at] ^= 0xff;
        });
        const run_result r = brv_on(state, {}, {"partitions", demo_package().string()});
        EXPECT_EQ(c.status, r.status) << c.name << "\n" << r.err;
        if (!c.note.empty()) {
            EXPECT_NE(std::string::npos, r.out.find(c.note)) << c.name << "\n" << r.out;
        }
        if (c.status != 0)
            continue;
        EXPECT_EQ(expected, rows_of(r.out)) << c.name << "\n" << r.out;
    }
}

TEST_F(BrvHandsets, ReadSavesPartitionsAndRangesAsTheDiskHoldsThem)
{
    const fs::path state = flashed_state("read");
    const std::string package = demo_package().string();
    const run_result parts = brv_on(state, {}, {"read", package, "boot_a", "xbl", "-o", (dir / "out").string()});
    ASSERT_EQ(0, parts.status) << parts.err;
    EXPECT_EQ(slice(*reference, 4784, 2048), read_bytes(dir / "out/boot_a.img"));
    EXPECT_EQ(slice(*reference, 40, 512), read_bytes(dir / "out/xbl.img"));
    EXPECT_EQ(2, std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator())) << "no .tmp left";

    // A programmer whose acknowledgement leaves out the payload size it sends
    // is read in pieces of the size asked for.
    for (const std::vector<std::string>& handset : {std::vector<std::string>{},
                                                    std::vector<std::string>{"--omit-payload-from-target", "on"}}) {
        const fs::path raw = dir / "raw.bin";
        const run_result r = brv_on(state, handset,
                                    {"read", package, "--lun", "0", "--start", "100", "--count", "300", "-o", raw.string()});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ(slice(*reference, 100, 300), read_bytes(raw));
        fs::remove(raw);
    }

    // xbl_config renamed to xbl: that label now names two partitions.
    const fs::path twice = flashed_state("twice");
    run({"/usr/sbin/sgdisk", "-c", "2:xbl", (twice / "lun0.img").string()});
    struct case_ {
        fs::path state;
        std::vector<std::string> labels;
        std::string message;
    };
    const case_ refused[] = {
        {state, {"boot_a", "nosuch"}, "No partition labelled \"nosuch\""},
        {twice, {"boot_a", "xbl"}, "The label \"xbl\" names 2 partitions"},
    };
    for (const case_& c : refused) {
        std::vector<std::string> args = {"read", package};
        args.insert(args.end(), c.labels.begin(), c.labels.end());
        args.insert(args.end(), {"-o", (dir / "refused").string()});
        const run_result r = brv_on(c.state, {}, args);
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
        EXPECT_FALSE(fs::exists(dir / "refused" / "boot_a.img")) << "nothing is read before every label is found";
    }
}

TEST_F(BrvHandsets, BackupSavesEveryPartitionBeforeItIsOverwritten)
{
    // A disk holding other data: each sector filled with the low byte of its number.
    const fs::path state = flashed_state("backup", [](std::vector<std::uint8_t>& disk) {
        for (std::size_t i = 0; i < disk.size(); ++i)
            disk[i] = static_cast<std::uint8_t>(i / sector_size);
    });
    const std::vector<std::uint8_t> before = read_bytes(state / "lun0.img");
    const fs::path backup = dir / "saved";
    const run_result r = brv_on(state, {}, {"flash", demo_package().string(), "--backup", backup.string()});
    ASSERT_EQ(0, r.status) << r.err;

    struct saved {
        const char* file;
        std::uint64_t first, sectors;
    };
    const saved files[] = {
        {"PrimaryGPT.img", 0, 34}, {"xbl.img", 40, 512},      {"xbl_config.img", 552, 128}, {"abl_a.img", 680, 1024},
        {"abl_b.img", 1704, 1024}, {"BackupGPT.img", 131039, 33}, {"boot_a.img", 4784, 2048}, {"dtbo_a.img", 8880, 512},
        {"vbmeta_a.img", 9904, 128}, {"vendor_a.img", 10160, 2048}, {"system_a.img", 14256, 4096},
    };
    for (const saved& f : files)
        EXPECT_EQ(slice(before, f.first, f.sectors), read_bytes(backup / f.file)) << f.file;
    EXPECT_EQ(std::size(files), static_cast<std::size_t>(std::distance(fs::directory_iterator(backup), fs::directory_iterator())));

    // A second run would overwrite the only copy: refused before the handset hears anything.
    const fs::path again = flashed_state("again");
    const run_result second = brv_on(again, {}, {"flash", demo_package().string(), "--backup", backup.string()});
    EXPECT_EQ(1, second.status);
    EXPECT_NE(std::string::npos, second.err.find("PrimaryGPT.img already exists")) << second.err;
    EXPECT_FALSE(heard_anything(again));
}

TEST_F(BrvHandsets, OneOfSeveralHandsetsIsChosenBySerialOrPort)
{
    struct case_ {
        std::vector<std::string> choice;
        int status;
        std::string message;
        int written;  // the handset (1 to 3) that holds the demo afterwards, 0: none
    };
    const case_ cases[] = {
        {{}, 1, "3 handsets in emergency-download mode are attached; choose one with --serial or --port", 0},
        {{"--serial", "VH00000002"}, 0, "Succeeded", 2},
        {{"--port", "1-3"}, 0, "Succeeded", 3},
        {{"--serial", "VH00000009"}, 1, "no handset with serial VH00000009 is attached", 0},
    };
    for (const case_& c : cases) {
        scratch_dir state;
        std::vector<std::string> args = {"flash", demo_package().string()};
        args.insert(args.end(), c.choice.begin(), c.choice.end());
        const run_result r = brv_on(state.path(), {"--handsets", "3"}, args);
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_NE(std::string::npos, (r.out + r.err).find(c.message)) << r.out << r.err;
        if (c.status != 0) {
            for (const char* listed : {"port 1-1 (serial VH00000001)", "port 1-2 (serial VH00000002)"})
                EXPECT_NE(std::string::npos, r.err.find(listed)) << r.err;
        }
        for (int h = 1; h <= 3; ++h) {
            const fs::path handset = h == 1 ? state.path() : state.path() / ("handset" + std::to_string(h));
            EXPECT_EQ(h == c.written, heard_anything(handset)) << "handset " << h;
        }
        if (c.written != 0) {
            const fs::path handset = c.written == 1 ? state.path() : state.path() / ("handset" + std::to_string(c.written));
            EXPECT_TRUE(read_bytes(handset / "lun0.img") == read_bytes(reference_image()));
        }
    }
}

TEST_F(BrvHandsets, AllFlashesEveryHandsetAndAFailureStopsNoOther)
{
    const run_result r = brv_on(dir.path(), {"--handsets", "3", "--fault", "2:firehose:program:disconnect@3"},
                                {"flash", demo_package().string(), "--all"});
    EXPECT_EQ(1, r.status) << r.out << r.err;
    const std::regex ok(R"(^1-[13] +VH0000000[13] +[0-9.]+ s +Succeeded$)");
    const std::regex failed(R"(^1-2 +VH00000002 +[0-9.]+ s +.*the handset left the USB bus.*)");
    int succeeded = 0, failures = 0;
    for (const std::string& line : lines_of(r.out)) {
        succeeded += std::regex_match(line, ok);
        failures += std::regex_match(line, failed);
    }
    EXPECT_EQ(2, succeeded) << r.out;
    EXPECT_EQ(1, failures) << r.out;
    for (const char* prefix : {"[1-1] ", "[1-2] ", "[1-3] "})
        EXPECT_NE(std::string::npos, r.err.find(prefix)) << r.err;
    EXPECT_TRUE(read_bytes(dir / "lun0.img") == read_bytes(reference_image()));
    EXPECT_TRUE(read_bytes(dir / "handset3/lun0.img") == read_bytes(reference_image()));
}
