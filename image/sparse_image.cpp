#include "sparse_image.h"

#include "byte_order.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

// Lengths handed to crc32_combine reach 2^64 for a large FILL chunk.
static_assert(sizeof(z_off_t) >= 8, "zlib's offsets must be 64-bit");

namespace {

constexpr std::uint32_t magic = 0xed26ff3a;
constexpr std::uint16_t type_raw = 0xcac1;
constexpr std::uint16_t type_fill = 0xcac2;
constexpr std::uint16_t type_dont_care = 0xcac3;
constexpr std::uint16_t type_crc32 = 0xcac4;
constexpr std::size_t file_header_bytes = 28;
constexpr std::size_t chunk_header_bytes = 12;
constexpr std::size_t scratch_bytes = 256 * 1024;

std::string hex32(std::uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(v));
    return text;
}

const char* type_name(std::uint16_t type)
{
    switch (type) {
    case type_raw: return "RAW";
    case type_fill: return "FILL";
    case type_dont_care: return "DONT_CARE";
    default: return "CRC32";
    }
}

// CRC-32 of the 4-byte pattern repeated over len bytes (len a multiple of 4),
// by doubling, so that a FILL or DONT_CARE stretch of many GiB costs no pass
// over its bytes.
std::uint32_t crc_of_repeat(const std::uint8_t pattern[4], std::uint64_t len)
{
    uLong result = crc32(0L, Z_NULL, 0);
    uLong piece = crc32(0L, pattern, 4);
    std::uint64_t piece_len = 4;
    // Every piece is the pattern a power of two times, so pieces commute.
    for (std::uint64_t count = len / 4; count != 0; count >>= 1) {
        if (count & 1)
            result = crc32_combine(result, piece, static_cast<z_off_t>(piece_len));
        if (count > 1) {
            piece = crc32_combine(piece, piece, static_cast<z_off_t>(piece_len));
            piece_len *= 2;
        }
    }
    return static_cast<std::uint32_t>(result);
}

} // namespace

bool is_sparse_magic(const std::uint8_t* first, std::size_t len)
{
    return len >= 4 && load_le32(first) == magic;
}

// Walks the chunks of one image, checking each as it comes and keeping the
// CRC-32 of the expansion so far.
class sparse_walker {
public:
    sparse_walker(byte_source& source, const std::string& member) : source_(source), member_(member) {}

    struct header {
        std::uint32_t block_size = 0;
        std::uint32_t total_blocks = 0;
        std::uint32_t total_chunks = 0;
    };

    header read_header(std::uint32_t sector_size, std::uint64_t partition_bytes)
    {
        if (sector_size == 0)
            throw std::invalid_argument("sparse image: sector size 0");
        std::uint8_t h[file_header_bytes];
        const std::size_t got = read_up_to(source_, h, sizeof h);
        if (got >= 4 && !is_sparse_magic(h, got))
            fail("does not start with the sparse magic (found " + hex32(load_le32(h)) + ")");
        if (got < sizeof h)
            fail("ends early, in its file header");
        const std::uint16_t major = load_le16(h + 4);
        const std::uint16_t file_header_size = load_le16(h + 8);
        chunk_header_size_ = load_le16(h + 10);
        header out{load_le32(h + 12), load_le32(h + 16), load_le32(h + 20)};
        if (major != 1)
            fail("major version " + std::to_string(major) + ", only 1 is known");
        if (file_header_size < file_header_bytes)
            fail("file header size " + std::to_string(file_header_size) + ", at least 28 expected");
        if (chunk_header_size_ < chunk_header_bytes)
            fail("chunk header size " + std::to_string(chunk_header_size_) + ", at least 12 expected");
        if (out.block_size == 0)
            fail("block size 0");
        if (out.block_size % 4 != 0)
            fail("block size " + std::to_string(out.block_size) + " is not a multiple of 4");
        if (out.block_size % sector_size != 0)
            fail("block size " + std::to_string(out.block_size) + " is not a multiple of the sector size " +
                 std::to_string(sector_size));
        const std::uint64_t expanded = std::uint64_t{out.total_blocks} * out.block_size;
        if (expanded > partition_bytes)
            fail("expands to " + std::to_string(expanded) + " bytes (" + std::to_string(out.total_blocks) +
                 " blocks of " + std::to_string(out.block_size) + "), more than the partition's " +
                 std::to_string(partition_bytes) + " bytes");
        // Newer producers may append fields to either header; they carry nothing we need.
        if (!discard_exact(file_header_size - file_header_bytes))
            fail("ends early, in its file header");
        header_ = out;
        return out;
    }

    // Moves to the next chunk that covers blocks, after reading what is left of
    // the current one and checking every CRC32 chunk on the way. False at the
    // end of the image, once the end checks passed.
    bool next()
    {
        skip();
        for (;;) {
            if (chunk_ == header_.total_chunks) {
                finish();
                return false;
            }
            ++chunk_;
            std::uint8_t h[chunk_header_bytes];
            const std::size_t got = read_up_to(source_, h, sizeof h);
            if (got == 0)
                fail("ends after chunk " + std::to_string(chunk_ - 1) + ", the header says " +
                     std::to_string(header_.total_chunks) + " chunks");
            if (got < sizeof h || !discard_exact(chunk_header_size_ - chunk_header_bytes))
                truncated();
            type_ = load_le16(h);
            blocks_ = load_le32(h + 4);
            const std::uint32_t total_size = load_le32(h + 8);

            std::uint64_t body = 0;
            switch (type_) {
            case type_raw: body = std::uint64_t{blocks_} * header_.block_size; break;
            case type_fill:
            case type_crc32: body = 4; break;
            case type_dont_care: body = 0; break;
            default: fail("chunk " + std::to_string(chunk_) + " has unknown type " + hex16(type_));
            }
            if (total_size != chunk_header_size_ + body)
                fail(chunk_text() + " has size " + std::to_string(total_size) + ", expected " +
                     std::to_string(chunk_header_size_ + body));

            if (type_ == type_crc32) {
                // Like libsparse, its block count is ignored: a checksum covers no blocks.
                std::uint8_t stored[4];
                if (!read_exact(stored, 4))
                    truncated();
                if (load_le32(stored) != crc_)
                    fail(chunk_text() + " holds " + hex32(load_le32(stored)) + ", the data before it has " +
                         hex32(crc_));
                continue;
            }
            if (std::uint64_t{block_} + blocks_ > header_.total_blocks)
                fail(chunk_text() + " covers blocks " + std::to_string(block_) + " to " +
                     std::to_string(std::uint64_t{block_} + blocks_ - 1) + ", beyond the image's " +
                     std::to_string(header_.total_blocks) + " blocks");

            first_block_ = block_;
            block_ += blocks_;
            const std::uint64_t bytes = std::uint64_t{blocks_} * header_.block_size;
            if (type_ == type_fill) {
                if (!read_exact(pattern_, 4))
                    truncated();
                crc_ = static_cast<std::uint32_t>(
                    crc32_combine(crc_, crc_of_repeat(pattern_, bytes), static_cast<z_off_t>(bytes)));
                filled_ = 0;
            } else if (type_ == type_dont_care) {
                static const std::uint8_t zeros[4] = {};
                crc_ = static_cast<std::uint32_t>(
                    crc32_combine(crc_, crc_of_repeat(zeros, bytes), static_cast<z_off_t>(bytes)));
            }
            left_ = type_ == type_dont_care ? 0 : bytes;
            if (blocks_ != 0)
                return true;
        }
    }

    // The current chunk's expanded bytes, up to len of them; 0 once they are all delivered.
    std::size_t read(std::uint8_t* out, std::size_t len)
    {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(len, left_));
        if (n == 0)
            return 0;
        if (type_ == type_raw) {
            const std::size_t got = source_.read(out, n);
            if (got == 0)
                truncated();
            crc_ = static_cast<std::uint32_t>(crc32_z(crc_, out, got));
            left_ -= got;
            return got;
        }
        // The bytes repeat every 4, so the first 4 are copied onwards in doubling steps.
        for (std::size_t i = 0; i < std::min<std::size_t>(n, 4); ++i)
            out[i] = pattern_[(filled_ + i) & 3];
        for (std::size_t done = 4; done < n; done *= 2)
            std::memcpy(out + done, out, std::min(done, n - done));
        filled_ += n;
        left_ -= n;
        return n;
    }

    // Reads and checks the rest of the current chunk without delivering it.
    void skip()
    {
        if (left_ != 0 && type_ == type_fill) {
            left_ = 0;
            return;
        }
        while (left_ != 0)
            read(scratch(), scratch_bytes);
    }

    std::uint8_t* scratch()
    {
        if (scratch_.empty())
            scratch_.resize(scratch_bytes);
        return scratch_.data();
    }

    std::uint16_t type() const { return type_; }
    std::uint32_t first_block() const { return first_block_; }
    std::uint32_t blocks() const { return blocks_; }
    std::uint32_t chunk() const { return chunk_; }
    std::uint64_t left() const { return left_; }

    [[noreturn]] void fail(const std::string& what) const
    {
        throw std::runtime_error("Sparse image " + member_ + ": " + what);
    }

private:
    static std::string hex16(std::uint16_t v)
    {
        char text[8];
        std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(v));
        return text;
    }

    std::string chunk_text() const { return "chunk " + std::to_string(chunk_) + " of type " + type_name(type_); }

    [[noreturn]] void truncated() const
    {
        fail("ends early, in chunk " + std::to_string(chunk_) + " of " + std::to_string(header_.total_chunks));
    }

    void finish()
    {
        std::uint8_t extra;
        if (source_.read(&extra, 1) != 0)
            fail("data continues after its " + std::to_string(header_.total_chunks) + " chunks");
        if (block_ != header_.total_blocks)
            fail("its chunks cover " + std::to_string(block_) + " blocks, the header says " +
                 std::to_string(header_.total_blocks));
    }

    bool read_exact(std::uint8_t* out, std::size_t len) { return read_up_to(source_, out, len) == len; }

    bool discard_exact(std::size_t len)
    {
        std::uint8_t sink[256];
        while (len != 0) {
            const std::size_t n = std::min(len, sizeof sink);
            if (!read_exact(sink, n))
                return false;
            len -= n;
        }
        return true;
    }

    byte_source& source_;
    std::string member_;
    header header_;
    std::uint16_t chunk_header_size_ = 0;
    std::uint32_t chunk_ = 0;  // number of the current chunk, from 1
    std::uint32_t block_ = 0;  // first block after the chunks so far
    std::uint16_t type_ = 0;
    std::uint32_t first_block_ = 0;
    std::uint32_t blocks_ = 0;
    std::uint64_t left_ = 0;   // expanded bytes of the current chunk not yet delivered
    std::uint64_t filled_ = 0; // FILL bytes delivered, for the pattern's phase
    std::uint8_t pattern_[4] = {};
    std::uint32_t crc_ = 0;
    std::vector<std::uint8_t> scratch_;
};

sparse_plan check_sparse_image(byte_source& source, const std::string& member, std::uint32_t sector_size,
                               std::uint64_t partition_bytes)
{
    sparse_walker walker(source, member);
    const sparse_walker::header h = walker.read_header(sector_size, partition_bytes);
    sparse_plan plan;
    plan.member = member;
    plan.sector_size = sector_size;
    plan.partition_bytes = partition_bytes;
    plan.block_size = h.block_size;
    plan.total_blocks = h.total_blocks;
    plan.total_chunks = h.total_chunks;
    plan.expanded_bytes = std::uint64_t{h.total_blocks} * h.block_size;

    bool in_run = false;
    bool merging = false;
    while (walker.next()) {
        if (walker.type() == type_dont_care) {
            in_run = false;
            continue;
        }
        plan.written_bytes += std::uint64_t{walker.blocks()} * h.block_size;
        if (in_run && merging) {
            plan.merged_blocks_.back() += walker.blocks();
        } else {
            ++plan.runs;
            in_run = true;
            merging = plan.merged_blocks_.size() < sparse_max_merged_runs;
            if (merging)
                plan.merged_blocks_.push_back(walker.blocks());
        }
    }
    return plan;
}

sparse_reader::sparse_reader(byte_source& source, const sparse_plan& plan)
    : plan_(plan), walker_(std::make_unique<sparse_walker>(source, plan.member))
{
    const sparse_walker::header h = walker_->read_header(plan_.sector_size, plan_.partition_bytes);
    if (h.block_size != plan_.block_size || h.total_blocks != plan_.total_blocks ||
        h.total_chunks != plan_.total_chunks)
        walker_->fail("changed since it was checked (file header)");
}

sparse_reader::~sparse_reader() = default;

std::optional<sparse_run> sparse_reader::next_run()
{
    if (done_)
        return std::nullopt;
    while (run_left_ != 0) {
        if (walker_->left() == 0)
            continue_run();
        run_left_ -= walker_->left();
        walker_->skip();
    }
    for (;;) {
        if (!walker_->next()) {
            if (run_index_ != plan_.runs)
                walker_->fail("changed since it was checked (" + std::to_string(run_index_) + " of " +
                              std::to_string(plan_.runs) + " runs)");
            done_ = true;
            return std::nullopt;
        }
        if (walker_->type() != type_dont_care)
            break;
    }
    const std::uint64_t block_size = plan_.block_size;
    const std::uint64_t blocks =
        run_index_ < plan_.merged_blocks_.size() ? plan_.merged_blocks_[run_index_] : walker_->blocks();
    if (run_index_ >= plan_.runs || walker_->blocks() > blocks)
        walker_->fail("changed since it was checked (chunk " + std::to_string(walker_->chunk()) + ")");
    ++run_index_;
    run_left_ = blocks * block_size;
    return sparse_run{walker_->first_block() * block_size, run_left_};
}

std::size_t sparse_reader::read(std::uint8_t* out, std::size_t len)
{
    if (run_left_ == 0 || len == 0)
        return 0;
    if (walker_->left() == 0)
        continue_run();
    const std::size_t n = walker_->read(out, static_cast<std::size_t>(std::min<std::uint64_t>(len, run_left_)));
    run_left_ -= n;
    return n;
}

void sparse_reader::continue_run()
{
    // The run goes on in the next chunk, which must fit in what is left of it.
    if (!walker_->next() || walker_->type() == type_dont_care ||
        std::uint64_t{walker_->blocks()} * plan_.block_size > run_left_)
        walker_->fail("changed since it was checked (chunk " + std::to_string(walker_->chunk()) + ")");
}
