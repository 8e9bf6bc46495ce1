#include "partition_write.h"

#include "handset_reader.h"
#include "log.h"
#include "sha256.h"

#include <array>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

using sha256_digest = std::array<std::uint8_t, 32>;

// Hands out the source's bytes, then zeros up to `size` (what a data phase
// sends), keeping a SHA-256 of everything handed out unless told that nobody
// asks for it (hashing a SuperSpeed write costs the pace).
class sent_bytes : public byte_source {
public:
    sent_bytes(byte_source& inner, std::uint64_t size, bool hashed = true) : inner_(inner), left_(size), hashed_(hashed)
    {
        sha256_init(&ctx_);
    }
    std::size_t read(std::uint8_t* out, std::size_t len) override
    {
        len = static_cast<std::size_t>(std::min<std::uint64_t>({len, left_, max_hash_piece}));
        if (len == 0)
            return 0;
        std::size_t n = ended_ ? 0 : inner_.read(out, len);
        if (n == 0) {
            ended_ = true;
            std::memset(out, 0, len);
            n = len;
        }
        if (hashed_)
            sha256_update(&ctx_, out, static_cast<std::int32_t>(n));
        left_ -= n;
        return n;
    }
    sha256_digest digest()
    {
        sha256_digest d;
        sha256_final(&ctx_, d.data());
        return d;
    }

private:
    static constexpr std::uint64_t max_hash_piece = 1u << 30;
    byte_source& inner_;
    std::uint64_t left_;
    bool hashed_;
    bool ended_ = false;
    sha256_ctx ctx_;
};

// A stretch of a LUN that one data phase wrote.
struct partition_stretch {
    const program_entry& entry;
    std::uint64_t first = 0;
    std::uint64_t sectors = 0;
};

// Calls its argument with a fresh source of the bytes that were sent.
using resend = std::function<void(const std::function<void(byte_source&)>&)>;

// The first sector at which the handset's bytes differ from the sent ones, or
// nothing when this reading of them agrees.
std::optional<std::uint64_t> first_difference(firehose& programmer, const partition_stretch& stretch,
                                              byte_source& sent)
{
    const std::uint32_t sector_size = programmer.sector_size();
    std::vector<std::uint8_t> expected;
    std::uint64_t offset = 0;
    std::optional<std::uint64_t> found;
    // The whole range is read even after a difference: the read leaves the
    // link in step only once its data phase has ended.
    read_sectors(programmer, stretch.entry.lun, stretch.first, stretch.sectors,
                 [&](const std::uint8_t* data, std::size_t size) {
                     if (!found) {
                         expected.resize(size);
                         const std::size_t got = read_up_to(sent, expected.data(), size);
                         std::fill(expected.begin() + static_cast<std::ptrdiff_t>(got), expected.end(), 0);
                         const auto at = std::mismatch(data, data + size, expected.begin());
                         if (at.first != data + size)
                             found = stretch.first + (offset + static_cast<std::uint64_t>(at.first - data)) / sector_size;
                     }
                     offset += size;
                 });
    return found;
}

// The SHA-256 of what a stretch holds now: the programmer's, or one of its
// bytes read back (reported through on_piece).
sha256_digest handset_digest(firehose& programmer, const partition_stretch& stretch, bool on_handset,
                             data_progress on_piece)
{
    if (on_handset) {
        try {
            return programmer.sha256_digest(stretch.entry.lun, stretch.first, stretch.sectors);
        } catch (const firehose_refusal& e) {
            // A programmer that will not hash this range may still read it:
            // the check is made all the same, only slower. The progress
            // counted no reading for it, so the reading shows none.
            log_info("Verifying %s: %s; reading it back\n", stretch.entry.label.c_str(), e.what());
            on_piece = [](std::uint64_t) {};
        }
    }
    sha256_ctx ctx;
    sha256_init(&ctx);
    std::uint64_t done = 0;
    read_sectors(programmer, stretch.entry.lun, stretch.first, stretch.sectors,
                 [&](const std::uint8_t* data, std::size_t size) {
                     sha256_update(&ctx, data, static_cast<std::int32_t>(size));
                     done += size;
                     on_piece(done);
                 });
    sha256_digest back;
    sha256_final(&ctx, back.data());
    return back;
}

void compare_written(firehose& programmer, const partition_stretch& stretch, const sha256_digest& sent, bool on_handset,
                     const data_progress& on_piece, const resend& again)
{
    if (handset_digest(programmer, stretch, on_handset, on_piece) == sent)
        return;

    const std::string where = stretch.entry.label + " (LUN " + std::to_string(stretch.entry.lun) + ")";
    std::optional<std::uint64_t> sector;
    again([&](byte_source& source) { sector = first_difference(programmer, stretch, source); });
    if (sector)
        throw verification_mismatch("Verification failed: " + where + " differs at sector " + std::to_string(*sector));
    throw verification_mismatch("Verification failed: " + where + " read back differently from what was sent, "
                                "but a second reading of sectors " + std::to_string(stretch.first) + " to " +
                                std::to_string(stretch.first + stretch.sectors - 1) + " agreed (the reads are unreliable)");
}

// compare_written as a phase of its own (with phases), so that its failures
// are not called the write's.
void check_written(firehose& programmer, const partition_stretch& stretch, const sha256_digest& sent, bool on_handset,
                   const data_progress& on_piece, const resend& again, flash_phases* phases)
{
    const auto step = [&] { compare_written(programmer, stretch, sent, on_handset, on_piece, again); };
    if (phases == nullptr)
        return step();
    phases->run((on_handset ? "Verifying " : "Reading back ") + stretch.entry.label + " (LUN " + std::to_string(stretch.entry.lun) + ")", step);
}

// The stretches a partition's data phases write, each with the SHA-256 of its bytes.
struct planned_stretch {
    std::uint64_t first = 0;
    std::uint64_t sectors = 0;
    sha256_digest digest{};
};

std::vector<planned_stretch> planned_stretches(firmware_source& source, const planned_write& write,
                                               std::uint64_t first_sector, std::uint32_t sector_size)
{
    const program_entry& entry = write.entry;
    const std::unique_ptr<byte_source> image_bytes = source.open_image(entry.filename);
    std::vector<planned_stretch> out;
    if (!write.sparse) {
        sent_bytes sent(*image_bytes, entry.bytes);
        read_through(sent);
        out.push_back({first_sector, entry.bytes / sector_size, sent.digest()});
        return out;
    }
    sparse_reader image(*image_bytes, *write.sparse);
    while (const auto run = image.next_run()) {
        sent_bytes sent(image, run->length);
        read_through(sent);
        out.push_back({first_sector + run->offset / sector_size, run->length / sector_size, sent.digest()});
    }
    return out;
}

} // namespace

disk_sizes check_against_disk(const flash_plan& plan, firehose& programmer)
{
    disk_sizes sizes;
    std::map<std::uint32_t, std::vector<const program_entry*>> by_lun;
    for (const auto* list : {&plan.base, &plan.os})
        for (const planned_write& w : *list)
            by_lun[w.entry.lun].push_back(&w.entry);

    for (const auto& [lun, entries] : by_lun) {
        const std::uint64_t disk = lun_sectors(programmer, lun);
        sizes[lun] = disk;
        if (disk == 0) {
            log_info("The programmer does not tell the size of LUN %u: its partitions are not checked\n", lun);
            continue;
        }
        for (const program_entry* e : entries) {
            std::uint64_t first = 0;
            if (!e->start.resolve(disk, &first) || first + e->sectors > disk)
                throw std::runtime_error("Partition " + e->label + " (LUN " + std::to_string(lun) + ") needs sectors " +
                                         (e->start.from_end ? "NUM_DISK_SECTORS-" + std::to_string(e->start.value)
                                                            : std::to_string(first)) +
                                         " to " + std::to_string(first + e->sectors) + ", beyond the end of the disk (" +
                                         std::to_string(disk) + " sectors)");
        }
    }
    programmer.set_physical_partition(0);
    return sizes;
}

void write_partition(firmware_source& source, firehose& programmer, const planned_write& write, const data_progress& on_piece,
                     const write_checks& checks, flash_phases* phases)
{
    const program_entry& entry = write.entry;
    const std::uint32_t sector_size = programmer.sector_size();
    auto skipped = [&](std::uint64_t stretch) { return stretch < checks.skip.size() && checks.skip[stretch]; };
    if (!write.sparse && skipped(0))
        return;
    const std::unique_ptr<byte_source> image_bytes = source.open_image(entry.filename);
    if (!write.sparse) {
        sent_bytes sent(*image_bytes, entry.bytes, checks.verify);
        programmer.program_element(entry.element, sent, entry.bytes, on_piece);
        if (!checks.verify)
            return;
        const partition_stretch stretch{entry, checks.first_sector, entry.bytes / sector_size};
        check_written(programmer, stretch, sent.digest(), checks.on_handset,
                      [&](std::uint64_t done) { on_piece(entry.bytes + done); },
                      [&](const std::function<void(byte_source&)>& use) {
                          const std::unique_ptr<byte_source> again = source.open_image(entry.filename);
                          sent_bytes resent(*again, entry.bytes);
                          use(resent);
                      },
                      phases);
        return;
    }

    const std::uint64_t start = entry.start.value;  // never from the end: the plan refuses that
    // Reading back costs as much link time as the writing; the programmer's digest costs none.
    const std::uint64_t passes = checks.verify && !checks.on_handset ? 2 : 1;
    sparse_reader image(*image_bytes, *write.sparse);
    std::uint64_t done_before = 0;
    std::uint64_t run_index = 0;
    std::uint64_t last_written = write.sparse->runs;
    while (last_written > 0 && skipped(last_written - 1))
        --last_written;
    if (last_written > 0)
        --last_written;
    while (const auto run = image.next_run()) {
        const std::uint64_t first = start + run->offset / sector_size;
        const std::uint64_t sectors = run->length / sector_size;
        if (skipped(run_index)) {
            done_before += passes * run->length;
            on_piece(done_before);
            ++run_index;
            continue;
        }
        sent_bytes sent(image, run->length, checks.verify);
        // Between runs nothing needs settling: a run's request waits only for
        // its data and acknowledgement, so many short runs cost no fixed wait
        // each. A check, and whatever follows the last run written, needs it.
        const bool settle = checks.verify || run_index >= last_written;
        programmer.program_element(run_element(entry, first, sectors, sector_size), sent, run->length,
                                   [&](std::uint64_t done) { on_piece(done_before + done); }, settle);
        done_before += run->length;
        if (checks.verify) {
            // Only the runs were written; the blocks between them keep what
            // the handset held and are not compared.
            const partition_stretch stretch{entry, first, sectors};
            check_written(programmer, stretch, sent.digest(), checks.on_handset,
                          [&](std::uint64_t done) { on_piece(done_before + done); },
                          [&](const std::function<void(byte_source&)>& use) {
                              const std::unique_ptr<byte_source> again = source.open_image(entry.filename);
                              sparse_reader image_again(*again, *write.sparse);
                              for (std::uint64_t i = 0; i <= run_index; ++i)
                                  if (!image_again.next_run())
                                      throw std::runtime_error("Sparse image " + entry.filename +
                                                               ": changed since it was written");
                              sent_bytes resent(image_again, run->length);
                              use(resent);
                          },
                          phases);
            done_before += (passes - 1) * run->length;
        }
        ++run_index;
    }
}

stretch_matches stretches_on_handset(firmware_source& source, firehose& programmer, const planned_write& write,
                                     std::uint64_t first_sector)
{
    const std::uint32_t sector_size = programmer.sector_size();
    // The firmware's side is hashed while the programmer hashes the handset's.
    std::future<std::vector<planned_stretch>> ours = std::async(
        std::launch::async, [&] { return planned_stretches(source, write, first_sector, sector_size); });
    std::vector<sha256_digest> theirs;
    if (!write.sparse)
        theirs.push_back(programmer.sha256_digest(write.entry.lun, first_sector, write.entry.bytes / sector_size));
    const std::vector<planned_stretch> stretches = ours.get();
    stretch_matches result;
    for (std::size_t i = 0; i < stretches.size(); ++i) {
        const planned_stretch& s = stretches[i];
        if (i >= theirs.size())
            theirs.push_back(programmer.sha256_digest(write.entry.lun, s.first, s.sectors));
        const bool same = theirs[i] == s.digest;
        result.same.push_back(same);
        if (same)
            result.same_bytes += s.sectors * sector_size;
    }
    return result;
}
