// brv against what is already on a handset, and against several handsets, all
// through the virtual handset with the demo package: read-back verification
// catches a flipped bit and names its sector, `brv partitions` agrees with
// sgdisk and falls back to the backup table, `brv read` and `--backup` save
// exactly the handset's bytes, and several handsets are told apart, chosen and
// flashed at once without one failure stopping the others.
#include "byte_order.h"
#include "package_test_support.h"
#include "tool_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <zlib.h>
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

// Whether the handset was asked to change anything (the programmer may have
// been uploaded while the flash was checked).
bool asked_to_write(const fs::path& state)
{
    const std::string heard = fs::exists(state / "transcript.txt") ? read_text(state / "transcript.txt") : "";
    return heard.find("firehose <program") != std::string::npos || heard.find("firehose <patch") != std::string::npos ||
           heard.find("firehose <power") != std::string::npos;
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

// brv under the launcher, with `signal` sent once the handset's transcript
// (handset 1's, or every listed one's) holds `line`.
run_result brv_signalled(const fs::path& state, const std::vector<std::string>& handset,
                         const std::vector<std::string>& args, const std::vector<fs::path>& transcripts,
                         const std::string& line, int signal)
{
    return run_and_signal(
        brv_under_launcher(state, handset, args), quick_programmer,
        [&] {
            return std::all_of(transcripts.begin(), transcripts.end(), [&](const fs::path& t) {
                return read_text(t / "transcript.txt").find(line) != std::string::npos;
            });
        },
        signal);
}

// Sets a partition's first and last sector in the primary table (entries at
// sector 2, 128 bytes each) and brings both of its CRCs up to date.
void set_entry(std::vector<std::uint8_t>& disk, std::uint32_t index, std::uint64_t first, std::uint64_t last)
{
    auto put = [&](std::uint64_t at, std::uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            disk[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    auto get32 = [&](std::uint64_t at) {
        return std::uint32_t{disk[at]} | disk[at + 1] << 8 | disk[at + 2] << 16 | std::uint32_t{disk[at + 3]} << 24;
    };
    const std::uint64_t header = sector_size;
    const std::uint64_t entry = 2 * sector_size + (index - 1) * 128;
    put(entry + 32, first, 8);
    put(entry + 40, last, 8);
    const std::uint32_t entries_bytes = get32(header + 80) * get32(header + 84);
    put(header + 88, ::crc32(0, disk.data() + 2 * sector_size, entries_bytes), 4);
    put(header + 16, 0, 4);
    put(header + 16, ::crc32(0, disk.data() + header, get32(header + 12)), 4);
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
        reference_dir = new temp_dir;
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
        write_file(dir / name / "lun0.img", disk);
        return dir / name;
    }

    static temp_dir* reference_dir;
    static std::vector<std::uint8_t>* reference;
    temp_dir dir;
};

temp_dir* BrvHandsets::reference_dir = nullptr;
std::vector<std::uint8_t>* BrvHandsets::reference = nullptr;

} // namespace

// The requests of one verb the handset's transcript holds.
std::size_t requests_of(const fs::path& state, const std::string& verb)
{
    std::size_t n = 0;
    for (const std::string& line : lines_of(read_text(state / "transcript.txt")))
        n += line.rfind("firehose <" + verb + " ", 0) == 0 ? 1 : 0;
    return n;
}

TEST_F(BrvHandsets, VerifyComparesDigestsAndNamesTheSectorThatDiffers)
{
    // The demo writes, in order: PrimaryGPT (34 sectors at 0), xbl (512 at 40),
    // xbl_config (128), abl_a (1024 at 680), abl_b, BackupGPT (33), then the OS
    // partitions from boot_a (2048 at 4784): 2755 base sectors in all. A
    // programmer that hashes is asked for each partition's digest; one that
    // does not has each partition read back.
    const std::vector<std::string> no_digest = {"--without-verbs", "getsha256digest"};
    struct case_ {
        std::vector<std::string> handset;
        int status;
        std::string message;
        bool digests;  // the partitions were checked by digest, not read back
    };
    const case_ cases[] = {
        {{}, 0, "Succeeded", true},
        {no_digest, 0, "Succeeded", false},
        {{"--fault", "storage:write:flip@900"}, 1, "Verification failed: abl_a (LUN 0) differs at sector 905", true},
        {{"--fault", "storage:write:flip@2800"}, 1, "Verification failed: boot_a (LUN 0) differs at sector 4828", true},
        {{"--without-verbs", "getsha256digest", "--fault", "storage:write:flip@2800"}, 1,
         "Verification failed: boot_a (LUN 0) differs at sector 4828", false},
        // A programmer that will not hash xbl has it read back, and the flip is still caught.
        {{"--fault", "firehose:getsha256digest:nak@2", "--fault", "storage:write:flip@50"}, 1,
         "Verification failed: xbl (LUN 0) differs at sector 55", true},
    };
    for (const case_& c : cases) {
        temp_dir state;
        const run_result r = brv_on(state.path(), c.handset, {"flash", demo_package().string(), "--verify"});
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_NE(std::string::npos, (r.out + r.err).find(c.message)) << r.out << r.err;
        if (c.status == 0) {
            EXPECT_EQ(c.digests ? 11u : 0u, requests_of(state.path(), "getsha256digest"));
            EXPECT_EQ(c.digests, requests_of(state.path(), "read") == 0);
        }
    }
    temp_dir state;
    const run_result r =
        brv_on(state.path(), {"--fault", "firehose:getsha256digest:nak@2"}, {"flash", demo_package().string(), "--verify"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(11u, requests_of(state.path(), "getsha256digest"));
    EXPECT_LT(0u, requests_of(state.path(), "read")) << "xbl read back";
}

TEST_F(BrvHandsets, SkipIdenticalWritesOnlyWhatTheHandsetLacks)
{
    // A handset that holds the demo: every partition is skipped but the two
    // partition tables, which the DISK patches changed after they were written.
    const std::string tables_only = "Skipped 9 partitions already on the handset";
    const fs::path src = dir / "src";
    fs::copy(demo_sources(), src, fs::copy_options::recursive);
    std::vector<std::uint8_t> boot = read_bytes(src / "boot.img");
    boot[100] ^= 1;
    write_file(src / "boot.img", boot);
    const fs::path changed = dir / "changed.brp";
    ASSERT_EQ(0, run({brv_program().string(), "pack", src.string(), "-o", changed.string()}).status);

    struct case_ {
        const char* name;
        fs::path package;
        std::vector<std::string> handset;
        std::string said;
        std::size_t programs;  // program requests the handset received
    };
    const case_ cases[] = {
        {"unchanged", demo_package(), {}, tables_only, 2},
        {"one byte of boot.img changed", changed, {}, "Skipped 8 partitions", 3},
        {"no digests", demo_package(), {"--without-verbs", "getsha256digest"},
         "the programmer cannot hash what the handset holds (no getsha256digest); every partition was written", 11},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path state = flashed_state(c.name);
        const run_result r = brv_on(state, c.handset, {"flash", c.package.string(), "--skip-identical"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.out.find(c.said)) << r.out;
        EXPECT_EQ(c.programs, requests_of(state, "program"));
        std::vector<std::uint8_t> expected = *reference;
        if (c.package == changed)
            expected[4784 * sector_size + 100] ^= 1;  // boot_a starts at sector 4784
        std::vector<std::uint8_t> disk = read_bytes(state / "lun0.img");
        disk.resize(expected.size());
        EXPECT_TRUE(disk == expected);
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
    auto chunk = [&](std::uint16_t type, std::uint32_t blocks, std::uint32_t data_bytes, std::uint8_t fill) {
        append_le16(image, type);
        append_le16(image, 0);
        append_le32(image, blocks);
        append_le32(image, 12 + data_bytes);
        image.insert(image.end(), data_bytes, fill);
    };
    append_le32(image, 0xed26ff3a);
    append_le16(image, 1), append_le16(image, 0), append_le16(image, 28), append_le16(image, 12);
    append_le32(image, 4096), append_le32(image, 5), append_le32(image, 3), append_le32(image, 0);
    chunk(0xcac1, 2, 8192, 0x5a);
    chunk(0xcac3, 2, 0, 0);
    chunk(0xcac1, 1, 4096, 0xa5);
    write_file(src / "system.img", image);
    std::string program = read_text(src / "rawprogram0.xml");
    const std::size_t at = program.find("filename=\"system.img\"");
    const std::size_t sparse = program.find("sparse=\"false\"", at);
    ASSERT_NE(std::string::npos, sparse);
    program.replace(sparse, 14, "sparse=\"true\"");
    write_file(src / "rawprogram0.xml", program);
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
        {twice, {"boot_a", "xbl"},
         "The label \"xbl\" names 2 partitions: xbl (LUN 0, sectors 40 to 551), xbl (LUN 0, sectors 552 to 679); "
         "read one by its sectors with --lun, --start and --count (for the first: --lun 0 --start 40 --count 512). "
         "Nothing was read."},
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

    // A second run would overwrite the only copy: refused before anything is written.
    const fs::path again = flashed_state("again");
    const run_result second = brv_on(again, {}, {"flash", demo_package().string(), "--backup", backup.string()});
    EXPECT_EQ(1, second.status);
    EXPECT_NE(std::string::npos, second.err.find("PrimaryGPT.img already exists")) << second.err;
    EXPECT_FALSE(asked_to_write(again));
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
        temp_dir state;
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

TEST_F(BrvHandsets, ReadNeverReplacesOrWritesThroughWhatIsThere)
{
    const fs::path state = flashed_state("read");
    const std::string package = demo_package().string();
    const std::string theirs = "another program's file\n";
    struct case_ {
        const char* name;
        std::string placed;  // in the output directory: a file holding theirs, or with "->" a link to one
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const case_ cases[] = {
        {"file there", "boot_a.img", {"boot_a"}, 1, "boot_a.img already exists; give --force to replace it"},
        {"file there, --force", "boot_a.img", {"boot_a", "--force"}, 0, "Saved boot_a (LUN 0)"},
        {"a file named like a temporary", "boot_a.img.tmp", {"boot_a", "--force"}, 0, "Saved boot_a (LUN 0)"},
        {"a link named like a temporary", "->boot_a.img.tmp", {"boot_a"}, 0, "Saved boot_a (LUN 0)"},
        {"link as the file, --force", "->boot_a.img", {"boot_a", "--force"}, 1, "a link is never replaced"},
        {"empty -o", "", {"boot_a", "-o", ""}, 2, "-o needs a directory"},
        {"-o names a file", "", {"boot_a", "-o", (dir / "theirs").string()}, 2, " is not a directory"},
        {"raw read into a missing folder", "", {"--lun", "0", "--start", "0", "--count", "1", "-o",
                                                 (dir / "nowhere/raw.bin").string()}, 2, "does not exist"},
        {"label that cannot be a file name", "", {"a/b"}, 2, "partition label \"a/b\" cannot be a file name"},
        {"LUN eMMC lacks", "", {"boot_a", "--lun", "3"}, 2,
         "LUN 3 does not exist on this handset (eMMC storage has only LUN 0)"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = dir / "out";
        fs::remove_all(out);
        fs::remove(state / "transcript.txt");
        write_file(dir / "theirs", theirs);
        fs::create_directories(out);
        if (c.placed.rfind("->", 0) == 0)
            fs::create_symlink(dir / "theirs", out / c.placed.substr(2));
        else if (!c.placed.empty())
            write_file(out / c.placed, theirs);
        std::vector<std::string> args = {"read", package};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (std::find(c.args.begin(), c.args.end(), "-o") == c.args.end())
            args.insert(args.end(), {"-o", out.string()});
        const run_result r = brv_on(state, {}, args);
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_NE(std::string::npos, (r.out + r.err).find(c.message)) << r.out << r.err;
        EXPECT_EQ(read_text(dir / "theirs"), theirs);
        const std::string placed = c.placed.substr(c.placed.rfind("->", 0) == 0 ? 2 : 0);
        if (placed.ends_with(".tmp")) {
            EXPECT_EQ(read_text(out / placed), theirs);
        }
        if (c.status != 0)
            EXPECT_FALSE(heard_anything(state));
        else
            EXPECT_EQ(slice(*reference, 4784, 2048), read_bytes(out / "boot_a.img"));
    }
}

TEST_F(BrvHandsets, SignalsStopWithNothingWrittenUntilTheFirstWrite)
{
    struct case_ {
        int signal;
        const char* fault;  // holds the phase open while the signal comes
        const char* line;   // the request after which the signal comes
        int status;
        std::string message;
        bool written;  // the base partitions and the table
        bool os_written;
    };
    const case_ cases[] = {
        {SIGINT, "firehose:configure:delay=400@1", "firehose <configure", 1,
         "Cancelled: nothing was written to the handset. Flash again when ready", false, false},
        {SIGTERM, "firehose:configure:delay=400@1", "firehose <configure", 1, "Cancelled: nothing was written", false,
         false},
        {SIGINT, "firehose:program:delay=400@1", "firehose <program", 1,
         "Cancelled: 5 OS partitions not written; the handset was reset", true, false},
        {SIGTERM, "firehose:power:delay=400@1", "firehose <power", 0, "Succeeded", true, true},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.line);
        temp_dir state;
        const run_result r = brv_signalled(state.path(), {"--fault", c.fault}, {"flash", demo_package().string()},
                                           {state.path()}, c.line, c.signal);
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_NE(std::string::npos, (r.out + r.err).find(c.message)) << r.out << r.err;
        const std::string transcript = read_text(state.path() / "transcript.txt");
        EXPECT_EQ(c.written, transcript.find("firehose raw") != std::string::npos);
        EXPECT_EQ(c.written, transcript.find("firehose <patch") != std::string::npos);
        EXPECT_EQ(c.os_written, transcript.find("label=\"boot_a\"") != std::string::npos);
    }

    // Every handset of --all had everything written when the signal came.
    const run_result all = brv_signalled(dir.path(), {"--handsets", "2", "--fault", "firehose:power:delay=400@1"},
                                         {"flash", demo_package().string(), "--all"}, {dir.path(), dir / "handset2"},
                                         "firehose <power", SIGINT);
    EXPECT_EQ(0, all.status) << all.out << all.err;
    EXPECT_TRUE(std::regex_search(all.out, std::regex(R"(\n1-1 .* Succeeded\n1-2 .* Succeeded\n)"))) << all.out;
}

TEST_F(BrvHandsets, HandsetsThatShareASerialAreToldApartByPort)
{
    // Chosen by that serial: refused, naming both.
    const run_result chosen = brv_on(dir.path(), {"--handsets", "2", "--serial", "SAME"},
                                     {"flash", demo_package().string(), "--serial", "SAME"});
    EXPECT_EQ(1, chosen.status);
    EXPECT_NE(std::string::npos, chosen.err.find("2 handsets with serial SAME are attached (port 1-1 (serial SAME), "
                                                 "port 1-2 (serial SAME)); choose one with --port"))
        << chosen.err;
    EXPECT_FALSE(heard_anything(dir.path()));
    EXPECT_FALSE(heard_anything(dir / "handset2"));

    // Flashed together: each handset's backup in a folder of its own.
    struct case_ {
        std::vector<std::string> serial;
        std::vector<std::string> folders;
    };
    const case_ cases[] = {
        {{}, {"VH00000001", "VH00000002"}},
        {{"--serial", "SAME"}, {"port-1-1", "port-1-2"}},
    };
    for (const case_& c : cases) {
        temp_dir state;
        std::vector<std::string> handsets = {"--handsets", "2"};
        handsets.insert(handsets.end(), c.serial.begin(), c.serial.end());
        const fs::path backup = state / "saved";
        const run_result r = brv_on(state.path(), handsets, {"flash", demo_package().string(), "--all", "--backup",
                                                             backup.string()});
        EXPECT_EQ(0, r.status) << r.out << r.err;
        for (const std::string& folder : c.folders)
            EXPECT_EQ(slice(std::vector<std::uint8_t>(64u << 20), 40, 512), read_bytes(backup / folder / "xbl.img"))
                << folder;
    }
}

TEST_F(BrvHandsets, BackupsOfAllHandsetsMustFitBeforeAnyHearsAnything)
{
    // system_a made so large that one handset's backup fits the free space
    // and two do not.
    const std::uint64_t free_bytes = fs::space(dir.path()).available;
    const std::uint64_t sectors = free_bytes * 6 / 10 / sector_size;
    const fs::path src = dir / "src";
    fs::copy(demo_sources(), src, fs::copy_options::recursive);
    std::string program = read_text(src / "rawprogram0.xml");
    const std::string from = "label=\"system_a\" num_partition_sectors=\"4096\"";
    ASSERT_NE(std::string::npos, program.find(from));
    program.replace(program.find(from), from.size(),
                    "label=\"system_a\" num_partition_sectors=\"" + std::to_string(sectors) + "\"");
    write_file(src / "rawprogram0.xml", program);
    const fs::path package = dir / "large.brp";
    ASSERT_EQ(0, run({brv_program().string(), "pack", src.string(), "-o", package.string()}).status);

    const run_result r = brv_on(dir.path(), {"--handsets", "2"},
                                {"flash", package.string(), "--all", "--backup", (dir / "saved").string()});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(std::regex_search(r.err, std::regex("Backup: .*saved has [0-9]+ bytes free, the partitions need [0-9]+ "
                                                    "\\(2 handsets\\)\\. Nothing was written to any handset")))
        << r.err;
    EXPECT_FALSE(heard_anything(dir.path()));
    EXPECT_FALSE(heard_anything(dir / "handset2"));
}

TEST_F(BrvHandsets, FailuresOfTheReadingCommandsSayWhatWasBeingRead)
{
    // A package whose payload is not a zip archive.
    pkgtest::write_package(dir / "junk.brp", pkgtest::pattern_bytes(5000, 9));
    const std::string junk = (dir / "junk.brp").string();
    const std::string package = demo_package().string();
    const fs::path state = flashed_state("read");
    struct case_ {
        const char* name;
        std::vector<std::string> handset;
        std::vector<std::string> args;
        std::string message;
    };
    const case_ cases[] = {
        {"not a zip: flash", {}, {"flash", junk}, "fwpkg: the payload is not a zip archive"},
        {"not a zip: partitions", {}, {"partitions", junk}, "fwpkg: the payload is not a zip archive"},
        {"not a zip: read", {}, {"read", junk, "xbl", "-o", (dir / "o").string()}, "fwpkg: the payload is not a zip archive"},
        {"partition table", {"--fault", "firehose:read:disconnect@1"}, {"partitions", package},
         "Reading the partition table of LUN 0 failed: the handset left the USB bus"},
        // The primary table takes two reads.
        {"partition", {"--fault", "firehose:read:disconnect@3"}, {"read", package, "boot_a", "-o", (dir / "o").string()},
         "Reading boot_a (LUN 0) into " + (dir / "o/boot_a.img").string() + " failed: the handset left the USB bus"},
    };
    for (const case_& c : cases) {
        const run_result r = brv_on(state, c.handset, c.args);
        EXPECT_EQ(1, r.status) << c.name;
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.name << "\n" << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "o/boot_a.img.tmp"));
}

TEST_F(BrvHandsets, PartitionTablesThatMakeNoSenseAreFlaggedAndNotRead)
{
    struct case_ {
        const char* name;
        std::uint32_t entry;
        std::uint64_t first, last;
        std::string flagged;
    };
    const case_ cases[] = {
        {"ends before it starts", 2, 679, 552, "partition 2 (xbl_config) ends at sector 552, before it starts at 679"},
        {"overlaps", 2, 500, 679, "partitions 1 (xbl) and 2 (xbl_config) overlap at sectors 500 to 551"},
        {"beyond the disk", 2, 552, 200000, "partition 2 (xbl_config) ends at sector 200000, beyond the disk's last "
                                            "sector 131071"},
    };
    for (const case_& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path state = flashed_state(c.name, [&](std::vector<std::uint8_t>& disk) {
            set_entry(disk, c.entry, c.first, c.last);
        });
        const run_result listed = brv_on(state, {}, {"partitions", demo_package().string()});
        EXPECT_EQ(1, listed.status);
        EXPECT_NE(std::string::npos, listed.out.find("Unsound entry: " + c.flagged + "\n")) << listed.out;
        const run_result read = brv_on(state, {}, {"read", demo_package().string(), "xbl_config", "-o",
                                                   (dir / c.name).string()});
        EXPECT_EQ(1, read.status);
        EXPECT_NE(std::string::npos, read.err.find("its entry in the partition table is unsound (" + c.flagged + ")"))
            << read.err;
        EXPECT_FALSE(fs::exists(dir / c.name / "xbl_config.img"));
    }
}

TEST_F(BrvHandsets, SizesBeyond32BitsAndTextFromTheHandsetAreShownAsTheyAre)
{
    // 2049 GiB of 512-byte sectors: more than 2^32 of them.
    const run_result huge = brv_on(dir.path(), {"--disk-size", "2049G"}, {"partitions", demo_package().string()});
    EXPECT_NE(std::string::npos, huge.out.find("LUN 0: 4297064448 sectors of 512 bytes (2.0 TiB)")) << huge.out;

    // A label and a serial number that would move the cursor.
    const fs::path state = flashed_state("escape");
    run({"/usr/sbin/sgdisk", "-c", "2:ev\x1b[2Jil", (state / "lun0.img").string()});
    const run_result listed = brv_on(state, {}, {"partitions", demo_package().string()});
    EXPECT_NE(std::string::npos, listed.out.find("  ev\\x1b[2Jil\n")) << listed.out;
    const run_result devices = brv_on(state, {"--serial", "VH\x1b[2J"}, {"devices"});
    EXPECT_NE(std::string::npos, devices.out.find("serial VH\\x1b[2J\n")) << devices.out;
    for (const run_result* r : {&listed, &devices})
        EXPECT_EQ(std::string::npos, r->out.find('\x1b'));
}
