// Android sparse images as a flash meets them: checked whole before anything
// is written, then expanded run by run onto a partition. Images come from
// Debian's img2simg (an independent producer) and from a small builder here for
// the chunk kinds img2simg never writes (DONT_CARE, CRC32) and for damage.
#include "byte_order.h"
#include "package_test_support.h"
#include "sparse_image.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>

using namespace pkgtest;

namespace {

const std::string member = "system.img";

// Hands out the bytes in pieces of at most `piece`, as an inflating archive
// member does.
class memory_source : public byte_source {
public:
    explicit memory_source(const std::string& bytes, std::size_t piece = 1000) : bytes_(bytes), piece_(piece) {}
    std::size_t read(std::uint8_t* out, std::size_t len) override
    {
        const std::size_t n = std::min({len, piece_, bytes_.size() - pos_});
        std::copy_n(bytes_.data() + pos_, n, out);
        pos_ += n;
        return n;
    }

private:
    const std::string& bytes_;
    std::size_t piece_;
    std::size_t pos_ = 0;
};

struct expansion {
    sparse_plan plan;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;  // offset, length
    std::string disk;  // the partition: 0xee wherever no run wrote
};

// Checks the image, then expands it from a second source, as the flash does.
expansion expand(const std::string& checked, const std::string& written, std::uint32_t sector_size,
                 std::uint64_t partition_bytes)
{
    expansion out;
    memory_source first(checked);
    out.plan = check_sparse_image(first, member, sector_size, partition_bytes);
    out.disk.assign(partition_bytes, '\xee');
    memory_source second(written, 4093);
    sparse_reader reader(second, out.plan);
    std::vector<std::uint8_t> piece(5000);
    while (const std::optional<sparse_run> run = reader.next_run()) {
        out.runs.emplace_back(run->offset, run->length);
        std::uint64_t at = run->offset;
        while (const std::size_t n = reader.read(piece.data(), piece.size())) {
            std::copy_n(piece.data(), n, out.disk.begin() + static_cast<std::ptrdiff_t>(at));
            at += n;
        }
        EXPECT_EQ(at, run->offset + run->length);
    }
    return out;
}

expansion expand(const std::string& image, std::uint32_t sector_size, std::uint64_t partition_bytes)
{
    return expand(image, image, sector_size, partition_bytes);
}

// ---- hand-made images ----

constexpr std::uint16_t raw = 0xcac1, fill = 0xcac2, dont_care = 0xcac3, crc = 0xcac4;

struct chunk {
    std::uint16_t type;
    std::uint32_t blocks;
    std::string body;  // RAW: data (default: distinct bytes); FILL: pattern; CRC32: value (default: the right one)
    std::int64_t size_delta = 0;  // added to the chunk's correct total size
};

struct image_layout {
    std::vector<chunk> chunks;
    std::uint32_t block_size = 512;
    std::uint32_t magic = 0xed26ff3a;
    std::uint16_t major = 1;
    std::uint16_t file_header_size = 28;
    std::uint16_t chunk_header_size = 12;
    std::optional<std::uint32_t> total_blocks = std::nullopt;  // default: the chunks' sum
    std::optional<std::uint32_t> total_chunks = std::nullopt;  // default: their count
};

std::string raw_data(const chunk& c, std::uint32_t block_size, std::uint32_t seed)
{
    return c.body.empty() ? pattern_bytes(std::size_t{c.blocks} * block_size, seed) : c.body;
}

struct built {
    std::string image;
    std::string disk;  // the partition after expansion: 0xee where nothing is written
};

built build(const image_layout& layout, std::uint64_t partition_bytes = 64 * 512)
{
    built out;
    std::string& body = out.image;
    std::string expanded;  // for CRC32 chunks: DONT_CARE counts as zeros
    out.disk.assign(partition_bytes, '\xee');
    std::uint32_t block = 0;
    std::uint32_t seed = 1;
    for (const chunk& c : layout.chunks) {
        std::string data;
        const std::size_t bytes = std::size_t{c.blocks} * layout.block_size;
        std::string expansion;
        if (c.type == raw) {
            data = raw_data(c, layout.block_size, seed++);
            expansion = data;
        } else if (c.type == fill) {
            data = c.body;
            for (std::size_t i = 0; i < bytes; ++i)
                expansion += data[i % 4];
        } else if (c.type == dont_care) {
            expanded.append(bytes, '\0');
        } else if (c.type == crc) {
            data = c.body;
            if (data.empty())
                append_le32(data, static_cast<std::uint32_t>(
                                crc32(0, reinterpret_cast<const Bytef*>(expanded.data()), expanded.size())));
        } else {
            data = c.body;
        }
        if (!expansion.empty()) {
            expanded += expansion;
            if (std::size_t{block} * layout.block_size + expansion.size() <= partition_bytes)
                out.disk.replace(std::size_t{block} * layout.block_size, expansion.size(), expansion);
        }
        if (c.type != crc)
            block += c.blocks;
        append_le16(body, c.type);
        append_le16(body, 0);
        append_le32(body, c.blocks);
        append_le32(body, static_cast<std::uint32_t>(layout.chunk_header_size + data.size() + c.size_delta));
        body.append(layout.chunk_header_size - std::min<std::size_t>(12, layout.chunk_header_size), '\xa5');
        body += data;
    }
    std::string head;
    append_le32(head, layout.magic);
    append_le16(head, layout.major);
    append_le16(head, 0);
    append_le16(head, layout.file_header_size);
    append_le16(head, layout.chunk_header_size);
    append_le32(head, layout.block_size);
    append_le32(head, layout.total_blocks.value_or(block));
    append_le32(head, layout.total_chunks.value_or(static_cast<std::uint32_t>(layout.chunks.size())));
    append_le32(head, 0);
    head.append(layout.file_header_size - std::min<std::size_t>(28, layout.file_header_size), '\x5a');
    out.image = head + body;
    return out;
}

const std::string pattern = "\x01\x02\x03\x04";

// RAW, checksum, gap, FILL, RAW, checksum over the gap too, gap at the end.
std::vector<chunk> gapped_chunks()
{
    return {{raw, 2, ""}, {crc, 0, ""}, {dont_care, 3, ""}, {fill, 2, pattern},
            {raw, 1, ""}, {crc, 0, ""}, {dont_care, 1, ""}};
}

// ---- img2simg ----

std::string img2simg(const std::string& raw_bytes, const std::string& block_size)
{
    const std::filesystem::path tool = BRV_IMG2SIMG;
    if (!std::filesystem::exists(tool))
        throw std::runtime_error("img2simg not found: install android-sdk-libsparse-utils (scripts/setup.sh does)");
    temp_dir dir;
    write_file(dir / "in.img", raw_bytes);
    const std::string command = tool.string() + " " + (dir / "in.img").string() + " " +
                                (dir / "out.simg").string() + " " + block_size;
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("img2simg failed: " + command);
    return read_file(dir / "out.simg");
}

std::string repeat(const std::string& unit, std::size_t times)
{
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += unit;
    return out;
}

} // namespace

TEST(SparseImage, Img2simgImagesExpandToTheirRawInput)
{
    const std::string zeros_4k(4096, '\0');
    struct row {
        const char* name;
        std::string raw;
        std::string block_size;  // img2simg's argument
        std::uint32_t sector_size;
    };
    const std::vector<row> rows = {
        {"data, zeros, pattern, data, zero tail",
         pattern_bytes(80 * 4096, 7) + repeat(zeros_4k, 5) + repeat("\xef\xbe\xad\xde", 4 * 1024) +
             pattern_bytes(4096, 8) + repeat(zeros_4k, 2),
         "4096", 4096},
        {"length not a whole block", pattern_bytes(3 * 4096, 9) + repeat(zeros_4k, 2) + pattern_bytes(100, 10),
         "4096", 4096},
        {"1 KiB blocks on 512-byte sectors", repeat(zeros_4k, 3) + pattern_bytes(5000, 11) + repeat("ab", 3000),
         "1024", 512},
        {"only zeros", repeat(zeros_4k, 16), "4096", 4096},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string image = img2simg(r.raw, r.block_size);
        ASSERT_TRUE(is_sparse_magic(reinterpret_cast<const std::uint8_t*>(image.data()), image.size()));
        const std::uint32_t block = static_cast<std::uint32_t>(std::stoul(r.block_size));
        std::string padded = r.raw;
        padded.append((block - padded.size() % block) % block, '\0');
        const std::uint64_t partition = padded.size() + 3 * 4096;
        const expansion e = expand(image, r.sector_size, partition);
        EXPECT_EQ(e.plan.expanded_bytes, padded.size());
        EXPECT_EQ(e.plan.written_bytes, padded.size());
        // img2simg writes no DONT_CARE chunks: the whole image is one program command.
        EXPECT_EQ(e.runs, (decltype(e.runs){{0, padded.size()}}));
        EXPECT_EQ(e.disk.substr(0, padded.size()), padded);
        EXPECT_EQ(e.disk.substr(padded.size()), std::string(partition - padded.size(), '\xee'));
    }
}

TEST(SparseImage, HandMadeImagesKeepGapsAndPassTheirChecksums)
{
    struct row {
        const char* name;
        image_layout layout;
        decltype(expansion::runs) runs;
    };
    image_layout larger_headers{gapped_chunks()};
    larger_headers.file_header_size = 40;
    larger_headers.chunk_header_size = 16;
    const std::vector<row> rows = {
        {"DONT_CARE gaps, CRC32 counting them as zeros", {gapped_chunks()}, {{0, 1024}, {2560, 1536}}},
        {"headers longer than the standard fields", larger_headers, {{0, 1024}, {2560, 1536}}},
        {"empty chunks and checksums do not split a run",
         {{{raw, 1, ""}, {crc, 0, ""}, {raw, 0, ""}, {fill, 0, pattern}, {dont_care, 0, ""}, {fill, 3, std::string(4, '\0')},
           {raw, 1, ""}, {crc, 0, ""}}},
         {{0, 2560}}},
        {"starts with a gap", {{{dont_care, 4, ""}, {fill, 1, pattern}, {crc, 0, ""}}}, {{2048, 512}}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const built b = build(r.layout);
        const expansion e = expand(b.image, 512, b.disk.size());
        EXPECT_EQ(e.runs, r.runs);
        EXPECT_EQ(e.plan.runs, r.runs.size());
        EXPECT_EQ(e.disk, b.disk);
    }
}

TEST(SparseImage, BadImagesAreRefusedNamingTheMember)
{
    const auto with = [](const std::function<void(image_layout&)>& change) {
        image_layout layout{gapped_chunks()};
        change(layout);
        return build(layout).image;
    };
    const auto chunk_change = [&](std::size_t index, const std::function<void(chunk&)>& change) {
        return with([&](image_layout& s) { change(s.chunks[index]); });
    };
    const std::string good = build({gapped_chunks()}).image;
    struct row {
        std::string image;
        std::uint32_t sector_size;
        std::uint64_t partition_bytes;
        std::string message;
    };
    const std::vector<row> rows = {
        {with([](image_layout& s) { s.magic = 0x3aff26ed; }), 512, 1 << 20,
         "does not start with the sparse magic (found 0x3aff26ed)"},
        {with([](image_layout& s) { s.major = 2; }), 512, 1 << 20, "major version 2, only 1 is known"},
        {with([](image_layout& s) { s.file_header_size = 20; }), 512, 1 << 20,
         "file header size 20, at least 28 expected"},
        {with([](image_layout& s) { s.chunk_header_size = 8; }), 512, 1 << 20,
         "chunk header size 8, at least 12 expected"},
        {with([](image_layout& s) { s.block_size = 0; }), 512, 1 << 20, "block size 0"},
        {with([](image_layout& s) { s.block_size = 1022; }), 2, 1 << 20, "block size 1022 is not a multiple of 4"},
        {good, 4096, 1 << 20, "block size 512 is not a multiple of the sector size 4096"},
        {good, 512, 9 * 512 - 1, "expands to 4608 bytes (9 blocks of 512), more than the partition's 4607 bytes"},
        {chunk_change(0, [](chunk& c) { c.size_delta = -1; }), 512, 1 << 20,
         "chunk 1 of type RAW has size 1035, expected 1036"},
        {chunk_change(3, [](chunk& c) { c.body = "\1\2\3\4\5"; }), 512, 1 << 20,
         "chunk 4 of type FILL has size 17, expected 16"},
        {chunk_change(2, [](chunk& c) { c.size_delta = 4; }), 512, 1 << 20,
         "chunk 3 of type DONT_CARE has size 16, expected 12"},
        {chunk_change(1, [](chunk& c) { c.size_delta = 1; }), 512, 1 << 20,
         "chunk 2 of type CRC32 has size 17, expected 16"},
        {chunk_change(4, [](chunk& c) { c.type = 0xcac5; }), 512, 1 << 20, "chunk 5 has unknown type 0xcac5"},
        {with([](image_layout& s) { s.total_blocks = 7; }), 512, 1 << 20,
         "chunk 5 of type RAW covers blocks 7 to 7, beyond the image's 7 blocks"},
        {with([](image_layout& s) { s.total_blocks = 10; }), 512, 1 << 20, "its chunks cover 9 blocks, the header says 10"},
        {chunk_change(5, [](chunk& c) { c.body = std::string(4, '\0'); }), 512, 1 << 20,
         "chunk 6 of type CRC32 holds 0x00000000, the data before it has " + [] {
             // The expansion up to chunk 6, with the gap as zeros.
             const built b = build({gapped_chunks()});
             std::string expanded = b.disk.substr(0, 8 * 512);
             expanded.replace(1024, 1536, 1536, '\0');
             char text[16];
             std::snprintf(text, sizeof text, "0x%08lx",
                           crc32(0, reinterpret_cast<const Bytef*>(expanded.data()), expanded.size()));
             return std::string(text);
         }()},
        {with([](image_layout& s) { s.total_chunks = 8; }), 512, 1 << 20, "ends after chunk 7, the header says 8 chunks"},
        {with([](image_layout& s) { s.total_chunks = 6; }), 512, 1 << 20, "data continues after its 6 chunks"},
        {good.substr(0, 20), 512, 1 << 20, "ends early, in its file header"},
        {good.substr(0, 28 + 12 + 1000), 512, 1 << 20, "ends early, in chunk 1 of 7"},
        {good.substr(0, good.size() - 6), 512, 1 << 20, "ends early, in chunk 7 of 7"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.message);
        memory_source source(r.image);
        EXPECT_EQ(error_text([&] { check_sparse_image(source, member, r.sector_size, r.partition_bytes); }),
                  "Sparse image system.img: " + r.message);
    }
}

TEST(SparseImage, ImageThatChangedSinceTheCheckFailsWhileWriting)
{
    const std::string checked = build({gapped_chunks()}).image;
    std::string flipped = checked;
    flipped[28 + 12 + 700] ^= 1;  // RAW data of chunk 1, covered by the CRC32 chunk 2
    const auto gap_in_fill = [] {
        std::vector<chunk> c = gapped_chunks();
        c[3].blocks = 1;
        c.insert(c.begin() + 4, chunk{dont_care, 1, ""});
        image_layout layout{c};
        layout.total_chunks = 7;  // keep the header as it was
        std::string image = build(layout).image;
        return image.substr(0, image.size() - 12);  // drop the last chunk: 7 chunks again
    }();
    struct row {
        std::string written;
        std::string message;
    };
    const std::vector<row> rows = {
        {flipped, "chunk 2 of type CRC32 holds "},
        {gap_in_fill, "changed since it was checked (chunk 5)"},
        {build({{{raw, 2, ""}, {dont_care, 6, ""}}}).image, "changed since it was checked (file header)"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.message);
        const std::string error = error_text([&] { expand(checked, r.written, 512, 1 << 20); });
        EXPECT_EQ(error.rfind("Sparse image system.img: " + r.message, 0), 0u) << error;
    }
}

TEST(SparseImage, RunsBeyondTheMergeLimitAreOnePerChunk)
{
    // Each group is FILL then RAW, one block each, then a one-block gap: a merged
    // run of two blocks while the plan keeps lengths, two runs after that.
    image_layout layout;
    layout.block_size = 4;
    for (std::size_t i = 0; i < sparse_max_merged_runs; ++i) {
        layout.chunks.push_back({fill, 1, pattern});
        layout.chunks.push_back({raw, 1, "data"});
        layout.chunks.push_back({dont_care, 1, ""});
    }
    layout.chunks.push_back({fill, 1, "ffff"});
    layout.chunks.push_back({raw, 1, "last"});
    const built b = build(layout, 3 * sparse_max_merged_runs * 4 + 8);
    const expansion e = expand(b.image, 4, b.disk.size());
    ASSERT_EQ(e.runs.size(), sparse_max_merged_runs + 2);
    EXPECT_EQ(e.runs[sparse_max_merged_runs - 1], std::make_pair(std::uint64_t{b.disk.size() - 20}, std::uint64_t{8}));
    EXPECT_EQ(e.runs[sparse_max_merged_runs], std::make_pair(std::uint64_t{b.disk.size() - 8}, std::uint64_t{4}));
    EXPECT_EQ(e.runs[sparse_max_merged_runs + 1], std::make_pair(std::uint64_t{b.disk.size() - 4}, std::uint64_t{4}));
    EXPECT_EQ(e.disk, b.disk);
}

TEST(SparseImage, OnlyTheSparseMagicMarksASparseMember)
{
    const auto sparse = [](const std::string& bytes) {
        return is_sparse_magic(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    };
    EXPECT_TRUE(sparse(std::string("\x3a\xff\x26\xed", 4)));
    EXPECT_FALSE(sparse(std::string("\xed\x26\xff\x3a", 4)));  // the magic in the wrong byte order
    EXPECT_FALSE(sparse(std::string("\x3a\xff\x26", 3)));      // a member shorter than the magic
    EXPECT_FALSE(sparse(std::string(1024, '\0') + "\x53\xef"));  // an ext4 image starts with 1 KiB of zeros
}
