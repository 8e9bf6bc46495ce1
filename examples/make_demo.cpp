// Build-time generator of the demo package's binary members: reads the
// package's program XML and writes, into the output directory, the GPT images
// that match its partitions and one reproducible image per named file.
//
// Usage: make_demo RAWPROGRAM.xml OUTDIR
#include "gpt_layout.h"
#include "xml.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <zlib.h>

namespace {

const std::string primary_gpt_file = "gpt_main0.bin";
const std::string backup_gpt_file = "gpt_backup0.bin";
// Images stay small so the demo flashes in seconds; the odd tail makes the
// flasher pad the last sector with zeros.
constexpr std::uint64_t max_image_bytes = 96 * 1024;
constexpr std::uint64_t grow_image_bytes = 4096;
constexpr std::uint64_t odd_tail = 123;

struct program_entry {
    std::string label;
    std::string filename;
    std::uint64_t start = 0;
    std::uint64_t sectors = 0;
};

std::uint64_t number(const std::string& text, const std::string& what)
{
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0')
        throw std::runtime_error(what + " is not a plain number: " + text);
    return v;
}

std::vector<program_entry> read_program(const std::string& path)
{
    const xml_document doc = read_xml_file(path);
    if (!doc)
        throw std::runtime_error("cannot parse " + path);
    std::vector<program_entry> out;
    for (xmlNode* n = xmlDocGetRootElement(doc.get())->children; n; n = n->next) {
        if (!is_xml_element(n, "program"))
            continue;
        program_entry e;
        e.label = xml_attribute(n, "label");
        e.filename = xml_attribute(n, "filename");
        if (number(xml_attribute(n, "SECTOR_SIZE_IN_BYTES"), "SECTOR_SIZE_IN_BYTES") != gpt_sector_size)
            throw std::runtime_error("unexpected sector size at " + e.label);
        e.sectors = number(xml_attribute(n, "num_partition_sectors"), e.label + " num_partition_sectors");
        if (e.filename != primary_gpt_file && e.filename != backup_gpt_file)
            e.start = number(xml_attribute(n, "start_sector"), e.label + " start_sector");
        out.push_back(e);
    }
    return out;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

std::vector<std::uint8_t> image_bytes(const std::string& name, std::uint64_t size)
{
    std::string head = "Brenvik demo image " + name + "\n";
    std::vector<std::uint8_t> out(head.begin(), head.end());
    std::uint32_t x = static_cast<std::uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(name.data()), static_cast<uInt>(name.size()))) | 1u;
    while (out.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out.push_back(static_cast<std::uint8_t>(x));
    }
    out.resize(size);
    return out;
}

void run(const std::string& program_path, const std::string& out_dir)
{
    const std::vector<program_entry> entries = read_program(program_path);
    std::vector<gpt_partition> parts;
    std::map<std::string, std::uint64_t> room;  // filename -> smallest partition using it
    for (const program_entry& e : entries) {
        if (e.filename == primary_gpt_file || e.filename == backup_gpt_file)
            continue;
        parts.push_back({e.label, e.start, e.sectors});
        if (e.filename.empty())
            continue;
        const std::uint64_t bytes = e.sectors ? e.sectors * gpt_sector_size : grow_image_bytes + odd_tail;
        auto [it, fresh] = room.emplace(e.filename, bytes);
        if (!fresh)
            it->second = std::min(it->second, bytes);
    }
    const gpt_images gpt = build_gpt(parts);
    write_file(out_dir + "/" + primary_gpt_file, gpt.main);
    write_file(out_dir + "/" + backup_gpt_file, gpt.backup);
    for (const auto& [name, bytes] : room) {
        const std::uint64_t size = std::min(bytes, std::min(bytes * 3 / 8, max_image_bytes) + odd_tail);
        write_file(out_dir + "/" + name, image_bytes(name, size));
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_demo RAWPROGRAM.xml OUTDIR\n");
        return 2;
    }
    try {
        run(argv[1], argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_demo: %s\n", e.what());
        return 1;
    }
    return 0;
}
