// brv flash and brv devices against the virtual handset, with the demo
// package: what lands on the handset's disk is what the package holds, the
// partition table comes out valid for the real disk size, and the dry run,
// the partition selection and a corrupt package all leave the disk alone.
#include "tool_env.h"
#include "xml.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using namespace tooltest;

namespace {

constexpr std::uint64_t sector_size = 512;
constexpr std::uint64_t disk_bytes = 64ull << 20;
const std::vector<std::string> handset_options = {"--memory", "emmc", "--disk-size", "64M"};
const std::vector<std::string> quick_flash = {"BRV_PROGRAMMER_WAIT_MS=0"};

struct partition {
    std::string label;
    std::string filename;
    std::uint64_t start = 0;
    std::uint64_t sectors = 0;
};

// The demo's partitions with a plain start sector (all but the backup GPT).
std::vector<partition> demo_partitions()
{
    const std::string path = (demo_sources() / "rawprogram0.xml").string();
    const xml_document doc = read_xml_file(path);
    if (!doc)
        throw std::runtime_error("cannot parse " + path);
    std::vector<partition> out;
    for (xmlNode* n = xmlDocGetRootElement(doc.get())->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE || xml_attribute(n, "label") == "BackupGPT")
            continue;
        out.push_back({xml_attribute(n, "label"), xml_attribute(n, "filename"),
                       std::stoull(xml_attribute(n, "start_sector")), std::stoull(xml_attribute(n, "num_partition_sectors"))});
    }
    return out;
}

run_result flash(const fs::path& state, const std::vector<std::string>& brv_args, const fs::path& package = demo_package())
{
    std::vector<std::string> argv = {launcher_program().string(), "--state", state.string()};
    argv.insert(argv.end(), handset_options.begin(), handset_options.end());
    argv.insert(argv.end(), {"--", brv_program().string(), "flash", package.string()});
    argv.insert(argv.end(), brv_args.begin(), brv_args.end());
    return run(argv, quick_flash);
}

// The LUN image, or an all-zero disk when the handset never created it.
std::vector<std::uint8_t> disk(const fs::path& state)
{
    std::vector<std::uint8_t> d = fs::exists(state / "lun0.img") ? read_bytes(state / "lun0.img") : std::vector<std::uint8_t>();
    d.resize(disk_bytes, 0);
    return d;
}

bool all_zero(const std::vector<std::uint8_t>& d, std::uint64_t from, std::uint64_t to)
{
    return std::all_of(d.begin() + static_cast<std::ptrdiff_t>(from), d.begin() + static_cast<std::ptrdiff_t>(to),
                       [](std::uint8_t b) { return b == 0; });
}

// Checks that a written partition holds its image followed by zeros.
void expect_written(const std::vector<std::uint8_t>& d, const partition& p)
{
    const std::vector<std::uint8_t> image = read_bytes(demo_sources() / p.filename);
    const std::uint64_t begin = p.start * sector_size;
    const std::uint64_t end = begin + p.sectors * sector_size;
    ASSERT_LE(image.size(), end - begin) << p.label;
    EXPECT_TRUE(std::equal(image.begin(), image.end(), d.begin() + static_cast<std::ptrdiff_t>(begin))) << p.label;
    EXPECT_TRUE(all_zero(d, begin + image.size(), end)) << p.label << ": tail not zero";
}

bool is_gpt(const partition& p) { return p.label == "PrimaryGPT"; }
bool has_image(const partition& p) { return !p.filename.empty() && p.sectors != 0 && !is_gpt(p); }
bool is_os(const std::string& label)
{
    static const std::regex os("(boot|recovery|dtbo|vbmeta|vendor|system|cache|userdata)(_[a-zA-Z])?");
    return std::regex_match(label, os);
}

std::string sgdisk(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"/usr/sbin/sgdisk"};
    argv.insert(argv.end(), args.begin(), args.end());
    const run_result r = run(argv);
    return r.out + r.err;
}

class BrvFlash : public ::testing::Test {
protected:
    temp_dir dir;
    fs::path state() const { return dir / "state"; }
};

} // namespace

TEST_F(BrvFlash, DemoLandsOnTheDiskWithAValidPartitionTable)
{
    const run_result r = flash(state(), {});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Succeeded"));
    EXPECT_NE(std::string::npos, r.err.find("100% ")) << "progress is shown";

    const std::vector<std::uint8_t> d = disk(state());
    for (const partition& p : demo_partitions()) {
        if (has_image(p)) {
            expect_written(d, p);
        } else if (!is_gpt(p) && p.sectors != 0) {
            EXPECT_TRUE(all_zero(d, p.start * sector_size, (p.start + p.sectors) * sector_size)) << p.label;
        }
    }

    const std::string image = (state() / "lun0.img").string();
    const std::string verify = sgdisk({"-v", image});
    EXPECT_NE(std::string::npos, verify.find("No problems found")) << verify;
    // userdata grew to the last usable sector of this disk.
    const std::string table = sgdisk({"-p", image});
    const std::uint64_t last_usable = disk_bytes / sector_size - 34;
    EXPECT_TRUE(std::regex_search(table, std::regex("\\s" + std::to_string(last_usable) + "\\s.*userdata"))) << table;
    EXPECT_NE(std::string::npos, table.find("system_b")) << table;
}

TEST_F(BrvFlash, NoWriteTalksToTheHandsetButLeavesTheDiskAlone)
{
    const run_result r = flash(state(), {"--no-write"});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Succeeded"));
    EXPECT_TRUE(fs::exists(state() / "transcript.txt"));
    EXPECT_FALSE(fs::file_size(state() / "transcript.txt") == 0);
    const std::vector<std::uint8_t> d = disk(state());
    EXPECT_TRUE(all_zero(d, 0, d.size()));
}

TEST_F(BrvFlash, BaseOnlyWritesBasePartitionsAndTheTableButNoOsPartition)
{
    const run_result r = flash(state(), {"--type", "base-only"});
    ASSERT_EQ(0, r.status) << r.out << r.err;
    const std::vector<std::uint8_t> d = disk(state());
    int base = 0, os = 0;
    for (const partition& p : demo_partitions()) {
        if (!has_image(p))
            continue;
        if (is_os(p.label)) {
            ++os;
            EXPECT_TRUE(all_zero(d, p.start * sector_size, (p.start + p.sectors) * sector_size)) << p.label;
        } else {
            ++base;
            expect_written(d, p);
        }
    }
    EXPECT_GT(base, 0);
    EXPECT_GT(os, 0);
    const std::string verify = sgdisk({"-v", (state() / "lun0.img").string()});
    EXPECT_NE(std::string::npos, verify.find("No problems found")) << verify;
}

TEST_F(BrvFlash, CorruptPackageIsRefusedBeforeAnythingIsWritten)
{
    // The digests are checked while the programmer is uploaded and starts.
    std::vector<std::uint8_t> bytes = read_bytes(demo_package());
    bytes[bytes.size() - 100] ^= 0x10;
    write_file(dir / "corrupt.brp", bytes);
    const run_result r = flash(state(), {}, dir / "corrupt.brp");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("verification failed")) << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("Succeeded"));
    const std::string heard = fs::exists(state() / "transcript.txt") ? read_text(state() / "transcript.txt") : "";
    for (const char* request : {"firehose <program", "firehose <patch", "firehose <power"})
        EXPECT_EQ(std::string::npos, heard.find(request)) << heard;
}

TEST_F(BrvFlash, DevicesListsEveryAttachedHandset)
{
    const run_result r = run({launcher_program().string(), "--state", state().string(), "--handsets", "2", "--",
                              brv_program().string(), "devices"});
    ASSERT_EQ(0, r.status) << r.err;
    const std::regex line("[0-9]+:[0-9]+:[0-9]+ \\(05c6:9008\\)  port [0-9]+-[0-9.]+  serial VH0000000[12]");
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(r.out.substr(start, end - start));
    ASSERT_EQ(2u, lines.size()) << r.out;
    for (const std::string& l : lines)
        EXPECT_TRUE(std::regex_match(l, line)) << l;
    EXPECT_NE(lines[0], lines[1]);
}
