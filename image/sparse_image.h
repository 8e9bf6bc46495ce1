// Android sparse images (the build system's system.img, vendor.img, super.img
// with magic 0xed26ff3a): checking one, then expanding it onto a partition,
// both streamed from a byte_source in bounded pieces.
//
// A flash takes two passes over the member, each through a fresh byte_source:
//
//   sparse_plan plan = check_sparse_image(source1, "system.img", sector_size, partition_bytes);
//   ...every other check of the flash, nothing written yet...
//   sparse_reader image(source2, plan);
//   while (auto run = image.next_run())
//       program run->length bytes at run->offset, pulled from image.read()
//
// The first pass reads the whole member and checks everything that can be
// checked; the second delivers the bytes and repeats every check, so a member
// whose bytes differ between the passes still fails (possibly after some runs
// were written: a CRC32 chunk covers data that precedes it).
//
// Checksums: a CRC32 chunk holds zlib's CRC-32 of the expanded image up to the
// chunk, with DONT_CARE blocks counted as zero bytes, as libsparse's reader
// (simg2img, sparse_file_import with crc) checks it. libsparse's writer
// computes a different value when the image has DONT_CARE chunks or FILL
// chunks longer than one block (it leaves out the DONT_CARE blocks and counts
// one block per FILL), which its own reader rejects too; such images fail here
// as well. img2simg writes no CRC32 chunks. The file header's image checksum is
// not read (producers leave it 0).
#pragma once

#include "byte_source.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// True when the member starts with the sparse magic (0xed26ff3a, little-endian);
// false for anything shorter than 4 bytes.
bool is_sparse_magic(const std::uint8_t* first, std::size_t len);

// Merged runs whose lengths a plan keeps (4 bytes each). Runs beyond this
// count are not merged: each RAW or FILL chunk after them is a run of its own.
constexpr std::size_t sparse_max_merged_runs = 262144;

// What a check found and how the expansion groups the chunks into runs.
class sparse_plan {
public:
    std::string member;
    std::uint32_t sector_size = 0;
    std::uint64_t partition_bytes = 0;
    std::uint32_t block_size = 0;
    std::uint32_t total_blocks = 0;
    std::uint32_t total_chunks = 0;
    std::uint64_t expanded_bytes = 0;  // total_blocks x block_size: what the image spans from the partition's start
    std::uint64_t written_bytes = 0;   // RAW and FILL blocks x block_size: the sum of the runs' lengths
    std::uint64_t runs = 0;            // runs the expansion yields

private:
    friend class sparse_reader;
    friend sparse_plan check_sparse_image(byte_source&, const std::string&, std::uint32_t, std::uint64_t);
    std::vector<std::uint32_t> merged_blocks_;  // blocks of each of the first runs
};

// Reads the whole image from the source and checks it; writes nothing. Holds
// a 256 KiB buffer while it runs. sector_size must not be 0
// (std::invalid_argument); partition_bytes is the partition's size, which the
// expanded image must not exceed. Every failure is a
// std::runtime_error "Sparse image <member>: <what>", chunks numbered from 1:
//   "does not start with the sparse magic (found 0x12345678)"
//   "major version 2, only 1 is known"
//   "file header size 20, at least 28 expected"   (larger headers: the extra bytes are skipped)
//   "chunk header size 8, at least 12 expected"    (likewise)
//   "block size 0", "block size 1022 is not a multiple of 4",
//   "block size 512 is not a multiple of the sector size 4096"
//   "expands to 8192 bytes (2 blocks of 4096), more than the partition's 4096 bytes"
//   "chunk 7 has unknown type 0xcac5"
//   "chunk 7 of type RAW has size 1000, expected 4108" (RAW: header + blocks x block size;
//        FILL and CRC32: header + 4; DONT_CARE: header; header = the file's chunk header size)
//   "chunk 7 of type FILL covers blocks 10 to 19, beyond the image's 15 blocks"
//   "chunk 7 of type CRC32 holds 0x89abcdef, the data before it has 0x01234567"
//   "its chunks cover 10 blocks, the header says 15"
//   "ends early, in its file header" / "ends early, in chunk 7 of 9"
//   "ends after chunk 8, the header says 9 chunks"
//   "data continues after its 9 chunks"
// and whatever the source throws.
sparse_plan check_sparse_image(byte_source& source, const std::string& member, std::uint32_t sector_size,
                               std::uint64_t partition_bytes);

// One contiguous stretch of the partition to write. offset and length are
// whole blocks of the plan's block size, hence whole sectors; length > 0;
// offset + length <= plan.expanded_bytes <= plan.partition_bytes. Runs come in
// increasing offset order and never overlap. DONT_CARE blocks and the
// partition beyond expanded_bytes belong to no run: writing only the runs
// leaves whatever the partition held there.
struct sparse_run {
    std::uint64_t offset = 0;  // bytes from the partition's start
    std::uint64_t length = 0;  // bytes
};

class sparse_walker;

// The expansion, as a sequence of runs whose bytes are pulled through read().
// A run is a maximal stretch of consecutive RAW and FILL chunks, ended by a
// DONT_CARE chunk or the image's end (chunks of 0 blocks and CRC32 chunks end
// nothing), except beyond the plan's first sparse_max_merged_runs runs, where
// each chunk is a run. An image from img2simg, which writes no DONT_CARE, is
// one run from offset 0.
//
// Memory: a copy of the plan (at most 1 MiB of run lengths, a few bytes for
// most images) and a 256 KiB scratch buffer once a run is left unread.
class sparse_reader : public byte_source {
public:
    // Reads and checks the file header; it must agree with the plan's. The
    // source is borrowed and must outlive the reader; the plan is copied.
    sparse_reader(byte_source& source, const sparse_plan& plan);
    ~sparse_reader() override;
    sparse_reader(const sparse_reader&) = delete;
    sparse_reader& operator=(const sparse_reader&) = delete;

    // The next run, or nothing once the image is complete and every end check
    // passed (chunk count, blocks covered, no data after the last chunk). Bytes
    // of the previous run not yet read are read and checked, not delivered.
    std::optional<sparse_run> next_run();

    // Up to len bytes of the current run (RAW: the image's bytes, FILL: the
    // pattern repeated), often fewer (the source's pieces, chunk ends); 0 only
    // once the current run's length has been delivered, and before the first
    // next_run(). Throws std::runtime_error with the messages of
    // check_sparse_image, or "Sparse image <member>: changed since it was
    // checked (chunk 7)" ("(file header)", "(3 of 4 runs)") when the image no
    // longer fits the plan. next_run() throws the same.
    std::size_t read(std::uint8_t* out, std::size_t len) override;

private:
    void continue_run();

    sparse_plan plan_;
    std::unique_ptr<sparse_walker> walker_;
    std::uint64_t run_index_ = 0;
    std::uint64_t run_left_ = 0;  // bytes of the current run not yet delivered
    bool done_ = false;
};
