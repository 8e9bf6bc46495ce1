#include "flash_plan.h"

#include "log.h"
#include "usbport.h"

#include <libxml/tree.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
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
    counted_source(byte_source& inner, progress& report, std::uint64_t& counted, const std::atomic<bool>& cancelled)
        : inner_(inner), report_(report), counted_(counted), cancelled_(cancelled)
    {
    }
    std::size_t read(std::uint8_t* out, std::size_t len) override
    {
        if (cancelled_)
            throw std::runtime_error("Cancelled before anything was written");
        const std::size_t n = inner_.read(out, len);
        counted_ += n;
        report_.update(counted_);
        return n;
    }

private:
    byte_source& inner_;
    progress& report_;
    std::uint64_t& counted_;
    const std::atomic<bool>& cancelled_;
};

// Reads a source to its end (so a member's CRC is checked), keeping nothing.
void read_through(byte_source& source)
{
    const auto piece = std::make_unique_for_overwrite<std::uint8_t[]>(check_piece_bytes);
    while (source.read(piece.get(), check_piece_bytes) != 0) {
    }
}

// Fills up to want bytes from a source that may hand them out in smaller pieces.
std::size_t read_up_to(byte_source& source, std::uint8_t* out, std::size_t want)
{
    std::size_t got = 0;
    while (got < want) {
        const std::size_t n = source.read(out + got, want - got);
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

planned_write plan_write(fwpkg& package, const program_entry& entry, std::uint32_t sector_size, progress& report,
                         std::uint64_t& counted, const std::atomic<bool>& cancelled)
{
    planned_write w;
    w.entry = entry;
    w.member_size = package.member_size(entry.filename);
    report.message("Checking " + entry.filename);

    member_reader member = package.open_member(entry.filename);
    counted_source source(member, report, counted, cancelled);
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

} // namespace

flash_plan plan_flash(fwpkg& package, std::uint32_t type, progress_handler& handler,
                      const std::atomic<bool>& cancelled)
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
            planned_write w = plan_write(package, e, sector_size, report, counted, cancelled);
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

void check_against_disk(const flash_plan& plan, firehose& programmer)
{
    std::map<std::uint32_t, std::vector<const program_entry*>> by_lun;
    for (const auto* list : {&plan.base, &plan.os})
        for (const planned_write& w : *list)
            by_lun[w.entry.lun].push_back(&w.entry);

    for (const auto& [lun, entries] : by_lun) {
        programmer.set_physical_partition(lun);
        std::uint64_t disk = programmer.total_logical_blocks();
        if (disk == 0)
            disk = programmer.num_disk_sectors();
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
}

void write_partition(fwpkg& package, firehose& programmer, const planned_write& write, const data_progress& on_piece)
{
    const program_entry& entry = write.entry;
    member_reader member = package.open_member(entry.filename);
    if (!write.sparse) {
        programmer.program_element(entry.element, member, entry.bytes, on_piece);
        return;
    }

    const std::uint32_t sector_size = programmer.sector_size();
    const std::uint64_t start = entry.start.value;  // never from the end: the plan refuses that
    sparse_reader image(member, *write.sparse);
    std::uint64_t done_before = 0;
    while (const auto run = image.next_run()) {
        const std::uint64_t first = start + run->offset / sector_size;
        const std::uint64_t sectors = run->length / sector_size;
        programmer.program_element(run_element(entry, first, sectors, sector_size), image, run->length,
                                   [&](std::uint64_t done) { on_piece(done_before + done); });
        done_before += run->length;
    }
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
