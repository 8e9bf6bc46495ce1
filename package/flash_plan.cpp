#include "flash_plan.h"

#include "file.h"
#include "handset_reader.h"
#include "log.h"
#include "sha256.h"
#include "usbport.h"

#include <libxml/tree.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

namespace {

// Members are read through their CRC in pieces of this size.
constexpr std::size_t check_piece_bytes = 1u << 20;
constexpr std::size_t magic_bytes = 4;

// Bytes already taken from a source, handed out again before the rest of it.
class prefixed_source : public byte_source {
public:
    prefixed_source(const std::uint8_t* prefix, std::size_t prefix_size, byte_source& rest)
        : prefix_(prefix, prefix + prefix_size), rest_(rest)
    {
    }
    std::size_t read(std::uint8_t* out, std::size_t len) override
    {
        if (taken_ < prefix_.size()) {
            const std::size_t n = std::min(len, prefix_.size() - taken_);
            std::copy_n(prefix_.begin() + static_cast<std::ptrdiff_t>(taken_), n, out);
            taken_ += n;
            return n;
        }
        return rest_.read(out, len);
    }

private:
    std::vector<std::uint8_t> prefix_;
    std::size_t taken_ = 0;
    byte_source& rest_;
};

// Reports every piece that passes through as progress.
class counted_source : public byte_source {
public:
    counted_source(byte_source& inner, progress& report, std::uint64_t& counted)
        : inner_(inner), report_(report), counted_(counted)
    {
    }
    std::size_t read(std::uint8_t* out, std::size_t len) override
    {
        const std::size_t n = inner_.read(out, len);
        counted_ += n;
        report_.update(counted_);
        return n;
    }

private:
    byte_source& inner_;
    progress& report_;
    std::uint64_t& counted_;
};

// Reads a source to its end (so a member's CRC is checked), keeping nothing.
void read_through(byte_source& source)
{
    const auto piece = std::make_unique_for_overwrite<std::uint8_t[]>(check_piece_bytes);
    while (source.read(piece.get(), check_piece_bytes) != 0) {
    }
}

planned_write plan_write(fwpkg& package, const program_entry& entry, std::uint32_t sector_size, progress& report,
                         std::uint64_t& counted)
{
    planned_write w;
    w.entry = entry;
    w.member_size = package.member_size(entry.filename);
    report.message("Checking " + entry.filename);

    member_reader member = package.open_member(entry.filename);
    counted_source source(member, report, counted);
    std::uint8_t head[magic_bytes] = {};
    const std::size_t head_size = entry.sparse ? read_up_to(source, head, magic_bytes) : 0;
    prefixed_source whole(head, head_size, source);
    if (entry.sparse && is_sparse_magic(head, head_size)) {
        // Its runs are placed from the partition's start sector.
        if (entry.start.from_end)
            throw std::runtime_error("program " + entry.label +
                                     ": a sparse image needs a start_sector counted from the disk's start");
        w.sparse = check_sparse_image(whole, entry.filename, sector_size, entry.bytes);
        w.bytes_sent = w.sparse->written_bytes;
        return w;
    }
    if (entry.sparse)
        log_info("%s is marked sparse but is no sparse image: written as it is\n", entry.filename.c_str());
    if (w.member_size > entry.bytes)
        throw std::runtime_error("buffer too small for file: " + entry.filename + " has " +
                                 std::to_string(w.member_size) + " bytes, partition " + entry.label + " " +
                                 std::to_string(entry.bytes));
    read_through(whole);
    w.bytes_sent = entry.bytes;
    return w;
}

// A program element for one run of a sparse image: the partition's own element
// with its start and length moved to the run, so the programmer writes exactly
// the run's sectors.
std::string run_element(const program_entry& entry, std::uint64_t start_sector, std::uint64_t sectors,
                        std::uint32_t sector_size)
{
    std::unique_ptr<xmlNode, decltype(&xmlFreeNode)> copy(xmlCopyNode(entry.node, 1), xmlFreeNode);
    if (!copy)
        throw std::bad_alloc();
    xmlDocPtr doc = entry.node->doc;
    copy->doc = doc;
    auto set = [&](const char* name, const std::string& value) {
        xmlSetProp(copy.get(), reinterpret_cast<const xmlChar*>(name), reinterpret_cast<const xmlChar*>(value.c_str()));
    };
    auto set_if_present = [&](const char* name, const std::string& value) {
        if (xmlHasProp(copy.get(), reinterpret_cast<const xmlChar*>(name)) != nullptr)
            set(name, value);
    };
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%" PRIx64, start_sector * sector_size);
    set("start_sector", std::to_string(start_sector));
    set("num_partition_sectors", std::to_string(sectors));
    set_if_present("start_byte_hex", hex);
    set_if_present("size_in_KB", std::to_string(sectors * sector_size / 1024) + ".0");
    set_if_present("sparse", "false");
    return element_text(copy.get());
}

using sha256_digest = std::array<std::uint8_t, 32>;

// Hands out the source's bytes, then zeros up to `size` (what a data phase
// sends), keeping a SHA-256 of everything handed out.
class sent_bytes : public byte_source {
public:
    sent_bytes(byte_source& inner, std::uint64_t size) : inner_(inner), left_(size) { sha256_init(&ctx_); }
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

void check_read_back(firehose& programmer, const partition_stretch& stretch, const sha256_digest& sent,
                     const data_progress& on_piece, const resend& again)
{
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
    if (back == sent)
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

} // namespace

flash_plan plan_flash(fwpkg& package, std::uint32_t type, progress_handler& handler)
{
    const std::uint32_t sector_size = package.device_sector_size();
    flash_plan plan;
    plan.programs = read_program_list(package.read_file(package.program_filename(), 0), sector_size, type);
    plan.patches = read_patch_list(package.read_file(package.patch_filename(), 0));

    std::vector<program_entry>* lists[] = {&plan.programs.base, &plan.programs.os};
    std::vector<planned_write>* planned[] = {&plan.base, &plan.os};
    const std::size_t list_count = type == base_only ? 1 : 2;

    std::uint64_t member_bytes = 0;
    for (std::size_t i = 0; i < list_count; ++i)
        for (const program_entry& e : *lists[i])
            member_bytes += package.member_size(e.filename);

    progress report(handler, member_bytes);
    std::uint64_t counted = 0;
    for (std::size_t i = 0; i < list_count; ++i) {
        for (const program_entry& e : *lists[i]) {
            planned_write w = plan_write(package, e, sector_size, report, counted);
            plan.bytes_to_write += w.bytes_sent;
            planned[i]->push_back(std::move(w));
        }
    }

    // A sparse image's runs become program requests of their own; the longest
    // numbers they can carry must still fit a request.
    for (const auto* list : {&plan.base, &plan.os})
        for (const planned_write& w : *list)
            if (w.sparse && !firehose::element_fits(run_element(w.entry, UINT32_MAX, UINT32_MAX, sector_size)))
                throw std::runtime_error("program " + w.entry.label + ": request longer than 1023 characters");
    return plan;
}

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

std::uint64_t first_sector(const program_entry& entry, const disk_sizes& disks, const std::string& what)
{
    if (!entry.start.from_end)
        return entry.start.value;
    const auto disk = disks.find(entry.lun);
    std::uint64_t first = 0;
    if (disk == disks.end() || disk->second == 0 || !entry.start.resolve(disk->second, &first))
        throw std::runtime_error("Partition " + entry.label + " (LUN " + std::to_string(entry.lun) +
                                 ") starts at NUM_DISK_SECTORS-" + std::to_string(entry.start.value) +
                                 ", and the programmer does not tell the size of LUN " + std::to_string(entry.lun) +
                                 ": it cannot be " + what);
    return first;
}

void write_partition(fwpkg& package, firehose& programmer, const planned_write& write, const data_progress& on_piece,
                     std::optional<std::uint64_t> read_back_from)
{
    const program_entry& entry = write.entry;
    const std::uint32_t sector_size = programmer.sector_size();
    member_reader member = package.open_member(entry.filename);
    if (!write.sparse) {
        sent_bytes sent(member, entry.bytes);
        programmer.program_element(entry.element, sent, entry.bytes, on_piece);
        if (!read_back_from)
            return;
        const partition_stretch stretch{entry, *read_back_from, entry.bytes / sector_size};
        check_read_back(programmer, stretch, sent.digest(), [&](std::uint64_t done) { on_piece(entry.bytes + done); },
                        [&](const std::function<void(byte_source&)>& use) {
                            member_reader again = package.open_member(entry.filename);
                            sent_bytes resent(again, entry.bytes);
                            use(resent);
                        });
        return;
    }

    const std::uint64_t start = entry.start.value;  // never from the end: the plan refuses that
    sparse_reader image(member, *write.sparse);
    std::uint64_t done_before = 0;
    std::uint64_t run_index = 0;
    while (const auto run = image.next_run()) {
        const std::uint64_t first = start + run->offset / sector_size;
        const std::uint64_t sectors = run->length / sector_size;
        sent_bytes sent(image, run->length);
        programmer.program_element(run_element(entry, first, sectors, sector_size), sent, run->length,
                                   [&](std::uint64_t done) { on_piece(done_before + done); });
        done_before += run->length;
        if (read_back_from) {
            // Only the runs were written; the blocks between them keep what
            // the handset held and are not compared.
            const partition_stretch stretch{entry, first, sectors};
            check_read_back(programmer, stretch, sent.digest(),
                            [&](std::uint64_t done) { on_piece(done_before + done); },
                            [&](const std::function<void(byte_source&)>& use) {
                                member_reader again = package.open_member(entry.filename);
                                sparse_reader image_again(again, *write.sparse);
                                for (std::uint64_t i = 0; i <= run_index; ++i)
                                    if (!image_again.next_run())
                                        throw std::runtime_error("Sparse image " + entry.filename +
                                                                 ": changed since it was written");
                                sent_bytes resent(image_again, run->length);
                                use(resent);
                            });
            done_before += run->length;
        }
        ++run_index;
    }
}

std::vector<backup_file> plan_backup(const flash_plan& plan, const std::string& dir)
{
    auto fail = [&](const std::string& what) { throw std::runtime_error("Backup: " + what); };
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir))
        fail("cannot create the directory " + dir + (ec ? ": " + ec.message() : ""));

    std::map<std::string, std::size_t> uses;
    for (const auto* list : {&plan.base, &plan.os})
        for (const planned_write& w : *list)
            ++uses[w.entry.label];
    std::map<std::string, std::size_t> seen;
    std::vector<backup_file> files;
    for (const auto* list : {&plan.base, &plan.os}) {
        for (const planned_write& w : *list) {
            std::string name;
            try {
                name = label_file_name(w.entry.label);
            } catch (const std::exception& e) {
                fail(e.what());
            }
            if (uses[w.entry.label] > 1)
                name = w.entry.label + "_" + std::to_string(++seen[w.entry.label]) + ".img";
            const std::filesystem::path path = std::filesystem::path(dir) / name;
            if (std::filesystem::exists(path, ec))
                fail(path.string() + " already exists; give an empty directory, or move the earlier backup away");
            files.push_back({&w, path.string()});
        }
    }

    // A file created and removed again proves that the directory takes files.
    const std::filesystem::path probe = std::filesystem::path(dir) / ".brv-backup-probe";
    {
        file f;
        try {
            f.create(probe.string(), false);
        } catch (const std::exception& e) {
            fail("cannot write into " + dir + " (" + e.what() + ")");
        }
    }
    std::filesystem::remove(probe, ec);

    const std::uint64_t needed = backup_bytes(files);
    const std::filesystem::space_info space = std::filesystem::space(dir, ec);
    if (!ec && space.available < needed)
        fail(dir + " has " + std::to_string(space.available) + " bytes free, the partitions need " +
             std::to_string(needed));
    return files;
}

std::uint64_t backup_bytes(const std::vector<backup_file>& files)
{
    std::uint64_t total = 0;
    for (const backup_file& f : files)
        total += f.write->entry.bytes;
    return total;
}

std::string flash_failure_cause(const std::exception& e)
{
    if (const auto* refusal = dynamic_cast<const firehose_refusal*>(&e))
        return std::string("the programmer refused: ") + refusal->what();
    if (const auto* link = dynamic_cast<const usb_link_error*>(&e)) {
        switch (link->error()) {
        case ENODEV:
            return "the handset left the USB bus (" + std::string(link->what()) + ")";
        case ETIMEDOUT:
            return "the handset stopped answering (" + std::string(link->what()) + ")";
        default:
            return "the USB link failed (" + std::string(link->what()) + ")";
        }
    }
    return e.what();
}
