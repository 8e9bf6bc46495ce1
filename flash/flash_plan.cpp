#include "flash_plan.h"

#include "file.h"
#include "handset_reader.h"
#include "log.h"
#include "memory_type.h"
#include "partition_rules.h"

#include <libxml/tree.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>

namespace {

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

// Reports every piece that passes through as progress, and polls between pieces.
class counted_source : public byte_source {
public:
    counted_source(byte_source& inner, progress& report, std::uint64_t& counted, const std::function<void()>& poll)
        : inner_(inner), report_(report), counted_(counted), poll_(poll)
    {
    }
    std::size_t read(std::uint8_t* out, std::size_t len) override
    {
        if (poll_)
            poll_();
        const std::size_t n = inner_.read(out, len);
        counted_ += n;
        report_.update(counted_);
        return n;
    }

private:
    byte_source& inner_;
    progress& report_;
    std::uint64_t& counted_;
    const std::function<void()>& poll_;
};

// The storage must have the LUN an element names, or the programmer refuses
// it half way through the flash.
void check_lun(std::uint32_t memory_type, std::uint32_t lun, const std::string& owner)
{
    std::string why;
    if (!memory_has_lun(memory_type, lun, &why))
        throw std::runtime_error(owner + ": physical_partition_number " + std::to_string(lun) + ", but " + why);
}

planned_write plan_write(firmware_source& source, const program_entry& entry, std::uint32_t sector_size, progress& report,
                         std::uint64_t& counted, const std::function<void()>& poll)
{
    planned_write w;
    w.entry = entry;
    w.member_size = source.image_size(entry.filename);
    report.message("Checking " + entry.filename);

    const std::unique_ptr<byte_source> image = source.open_image(entry.filename);
    counted_source counting(*image, report, counted, poll);
    std::uint8_t head[magic_bytes] = {};
    const std::size_t head_size = entry.sparse ? read_up_to(counting, head, magic_bytes) : 0;
    prefixed_source whole(head, head_size, counting);
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

} // namespace

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

flash_plan plan_flash(firmware_source& source, std::uint32_t type, progress_handler& handler,
                      const std::function<void()>& poll)
{
    const std::uint32_t sector_size = source.sector_size();
    flash_plan plan;
    plan.programs = read_program_list(source.program_document(), sector_size, type);
    plan.patches = read_patch_list(source.patch_document());

    std::vector<program_entry>* lists[] = {&plan.programs.base, &plan.programs.os};
    std::vector<planned_write>* planned[] = {&plan.base, &plan.os};
    const std::size_t list_count = type == base_only ? 1 : 2;
    for (std::size_t i = 0; i < list_count; ++i)
        for (const program_entry& e : *lists[i])
            check_lun(source.memory_type(), e.lun, "program " + e.label);
    for (std::size_t i = 0; i < plan.patches.luns.size(); ++i)
        check_lun(source.memory_type(), plan.patches.luns[i], "DISK patch " + std::to_string(i + 1));

    std::uint64_t member_bytes = 0;
    for (std::size_t i = 0; i < list_count; ++i)
        for (const program_entry& e : *lists[i])
            if (!e.erase)
                member_bytes += source.image_size(e.filename);

    progress report(handler, member_bytes);
    std::uint64_t counted = 0;
    for (std::size_t i = 0; i < list_count; ++i) {
        for (const program_entry& e : *lists[i]) {
            // An erase sends no data.
            planned_write w;
            if (e.erase)
                w.entry = e;
            else
                w = plan_write(source, e, sector_size, report, counted, poll);
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

std::uint64_t first_sector(const program_entry& entry, const disk_sizes& disks, const std::string& what)
{
    const auto disk = disks.find(entry.lun);
    std::uint64_t first = 0;
    if (!entry.start.from_end)
        first = entry.start.value;
    else if (disk == disks.end() || disk->second == 0 || !entry.start.resolve(disk->second, &first))
        throw std::runtime_error("Partition " + entry.label + " (LUN " + std::to_string(entry.lun) +
                                 ") starts at NUM_DISK_SECTORS-" + std::to_string(entry.start.value) +
                                 ", and the programmer does not tell the size of LUN " + std::to_string(entry.lun) +
                                 ": it cannot be " + what);
    if (first + entry.sectors > read_sector_limit)
        throw std::runtime_error("Partition " + entry.label + " (LUN " + std::to_string(entry.lun) + ") lies at sectors " +
                                 std::to_string(first) + " to " + std::to_string(first + entry.sectors - 1) +
                                 ", beyond sector 2^32, which a read request cannot name: it cannot be " + what);
    return first;
}

std::vector<backup_file> plan_backup(const flash_plan& plan, const std::string& dir)
{
    auto fail = [&](const std::string& what) { throw std::runtime_error("Backup: " + what); };
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir))
        fail("cannot create the directory " + dir + (ec ? ": " + ec.message() : ""));

    std::vector<const planned_write*> writes;
    std::vector<std::string> labels;
    for (const auto* list : {&plan.base, &plan.os})
        for (const planned_write& w : *list) {
            writes.push_back(&w);
            labels.push_back(w.entry.label);
        }
    std::vector<std::string> names;
    try {
        names = distinct_file_names(labels);
    } catch (const std::exception& e) {
        fail(e.what());
    }
    std::vector<backup_file> files;
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const std::filesystem::path path = std::filesystem::path(dir) / names[i];
        // A link counts as taken too, whether or not it leads anywhere.
        if (std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found)
            fail(path.string() + " already exists; give an empty directory, or move the earlier backup away");
        files.push_back({writes[i], path.string()});
    }

    // A file created and removed again proves that the directory takes files.
    const std::filesystem::path probe = std::filesystem::path(dir) / ".brv-backup-probe";
    {
        file f;
        try {
            f.create(probe.string(), true);
        } catch (const std::exception& e) {
            fail("cannot write into " + dir + " (" + probe.string() + ": " + e.what() + ")");
        }
    }
    std::filesystem::remove(probe, ec);

    check_backup_room(dir, backup_bytes(files));
    return files;
}

void check_backup_room(const std::string& dir, std::uint64_t needed)
{
    std::error_code ec;
    const std::filesystem::space_info space = std::filesystem::space(dir, ec);
    if (!ec && space.available < needed)
        throw std::runtime_error("Backup: " + dir + " has " + std::to_string(space.available) +
                                 " bytes free, the partitions need " + std::to_string(needed));
}

std::uint64_t backup_bytes_of(firmware_source& source, std::uint32_t type)
{
    const program_list programs = read_program_list(source.program_document(), source.sector_size(), type);
    std::uint64_t total = 0;
    for (const auto* list : {&programs.base, &programs.os})
        for (const program_entry& e : *list)
            total += e.bytes;
    return total;
}

std::uint64_t backup_bytes(const std::vector<backup_file>& files)
{
    std::uint64_t total = 0;
    for (const backup_file& f : files)
        total += f.write->entry.bytes;
    return total;
}
