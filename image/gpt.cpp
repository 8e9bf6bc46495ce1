#include "gpt.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

constexpr char signature[] = "EFI PART";
constexpr std::size_t signature_bytes = 8;
constexpr std::uint32_t revision_major = 1;
constexpr std::uint32_t min_header_size = 92;
constexpr std::uint32_t min_entry_size = 128;
// Real arrays hold 16 KiB (128 entries of 128 bytes); a damaged header must
// not make the host read gigabytes.
constexpr std::uint64_t max_array_bytes = 1u << 20;
constexpr std::size_t name_units = 36;

// Field offsets in the header.
constexpr std::size_t off_revision = 8;
constexpr std::size_t off_header_size = 12;
constexpr std::size_t off_header_crc = 16;
constexpr std::size_t off_my_lba = 24;
constexpr std::size_t off_alternate_lba = 32;
constexpr std::size_t off_first_usable = 40;
constexpr std::size_t off_last_usable = 48;
constexpr std::size_t off_disk_guid = 56;
constexpr std::size_t off_entries_lba = 72;
constexpr std::size_t off_entry_count = 80;
constexpr std::size_t off_entry_size = 84;
constexpr std::size_t off_entries_crc = 88;

// Field offsets in an entry.
constexpr std::size_t off_type = 0;
constexpr std::size_t off_unique = 16;
constexpr std::size_t off_first = 32;
constexpr std::size_t off_last = 40;
constexpr std::size_t off_attributes = 48;
constexpr std::size_t off_name = 56;

std::uint32_t le32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::uint64_t le64(const std::uint8_t* p)
{
    return std::uint64_t{le32(p)} | std::uint64_t{le32(p + 4)} << 32;
}

std::uint32_t crc32_of(const std::uint8_t* data, std::size_t size)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        const auto n = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
        crc = crc32(crc, data, n);
        data += n;
        size -= n;
    }
    return static_cast<std::uint32_t>(crc);
}

gpt_guid guid_at(const std::uint8_t* p)
{
    gpt_guid g;
    std::memcpy(g.bytes, p, sizeof g.bytes);
    return g;
}

void append_utf8(std::string& out, std::uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xc0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xe0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (c & 0x3f));
    }
}

// The name field: UTF-16LE, ended by the first NUL unit or the field's end.
// A lone surrogate becomes U+FFFD.
std::string name_at(const std::uint8_t* p)
{
    std::string out;
    for (std::size_t i = 0; i < name_units; ++i) {
        std::uint32_t c = p[2 * i] | p[2 * i + 1] << 8;
        if (c == 0)
            break;
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < name_units) {
            const std::uint32_t low = p[2 * i + 2] | p[2 * i + 3] << 8;
            if (low >= 0xdc00 && low < 0xe000) {
                c = 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00);
                ++i;
            } else {
                c = 0xfffd;
            }
        } else if (c >= 0xd800 && c < 0xe000) {
            c = 0xfffd;
        }
        append_utf8(out, c);
    }
    return out;
}

std::string number(std::uint64_t n) { return std::to_string(n); }

void put_le(std::uint8_t* p, std::uint64_t v, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i, v >>= 8)
        p[i] = static_cast<std::uint8_t>(v);
}

// Reads one copy: the header at header_lba and the array it points to.
bool read_table(const gpt_sector_reader& read, std::uint32_t sector_size, std::uint64_t header_lba,
                std::uint64_t disk_sectors, gpt_copy* copy, std::string* why, bool* absent)
{
    copy->header_lba = header_lba;
    copy->header_sector = read(header_lba, 1);
    const std::vector<std::uint8_t>& sector = copy->header_sector;
    *absent = sector.size() < signature_bytes || std::memcmp(sector.data(), signature, signature_bytes) != 0;
    if (!parse_gpt_header(sector.data(), sector.size(), header_lba, disk_sectors, &copy->header, why))
        return false;
    const std::uint64_t array_bytes = std::uint64_t{copy->header.entry_count} * copy->header.entry_size;
    const auto sectors = static_cast<std::uint32_t>((array_bytes + sector_size - 1) / sector_size);
    copy->array.clear();
    if (sectors > 0)
        copy->array = read(copy->header.entries_lba, sectors);
    return parse_gpt_entries(copy->header, copy->array.data(), copy->array.size(), &copy->partitions, why);
}

} // namespace

std::string gpt_guid::text() const
{
    const std::uint8_t* b = bytes;
    char out[37];
    std::snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[3], b[2],
                  b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
}

bool gpt_guid::is_zero() const
{
    for (std::uint8_t b : bytes)
        if (b != 0)
            return false;
    return true;
}

bool parse_gpt_header(const std::uint8_t* sector, std::size_t sector_size, std::uint64_t expected_lba,
                      std::uint64_t disk_sectors, gpt_header* header, std::string* why)
{
    if (sector_size < min_header_size) {
        *why = "sector of " + number(sector_size) + " bytes is too short for a header";
        return false;
    }
    if (std::memcmp(sector, signature, signature_bytes) != 0) {
        *why = "no GPT signature at sector " + number(expected_lba);
        return false;
    }
    const std::uint32_t revision = le32(sector + off_revision);
    if (revision >> 16 != revision_major) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", revision);
        *why = std::string("header revision ") + text + " is not 1.x";
        return false;
    }
    const std::uint32_t size = le32(sector + off_header_size);
    if (size < min_header_size || size > sector_size) {
        *why = "header size " + number(size) + " (92 to " + number(sector_size) + " expected)";
        return false;
    }
    // The CRC covers the header with its own CRC field read as zero.
    std::vector<std::uint8_t> copy(sector, sector + size);
    std::memset(copy.data() + off_header_crc, 0, 4);
    const std::uint32_t stored = le32(sector + off_header_crc);
    const std::uint32_t computed = crc32_of(copy.data(), copy.size());
    if (stored != computed) {
        char text[64];
        std::snprintf(text, sizeof text, "header CRC 0x%08x, its bytes give 0x%08x", stored, computed);
        *why = text;
        return false;
    }
    gpt_header h;
    h.my_lba = le64(sector + off_my_lba);
    h.alternate_lba = le64(sector + off_alternate_lba);
    h.first_usable = le64(sector + off_first_usable);
    h.last_usable = le64(sector + off_last_usable);
    h.disk_guid = guid_at(sector + off_disk_guid);
    h.entries_lba = le64(sector + off_entries_lba);
    h.entry_count = le32(sector + off_entry_count);
    h.entry_size = le32(sector + off_entry_size);
    h.entries_crc = le32(sector + off_entries_crc);
    if (h.my_lba != expected_lba) {
        *why = "header at sector " + number(expected_lba) + " says it lies at sector " + number(h.my_lba);
        return false;
    }
    if (h.entry_size < min_entry_size || h.entry_size % 8 != 0) {
        *why = "entry size " + number(h.entry_size) + " (a multiple of 8, at least 128, expected)";
        return false;
    }
    const std::uint64_t array_bytes = std::uint64_t{h.entry_count} * h.entry_size;
    if (array_bytes > max_array_bytes) {
        *why = "entry array of " + number(array_bytes) + " bytes (at most 1 MiB expected)";
        return false;
    }
    const std::uint64_t array_sectors = (array_bytes + sector_size - 1) / sector_size;
    if (disk_sectors != 0 && (h.entries_lba >= disk_sectors || array_sectors > disk_sectors - h.entries_lba)) {
        *why = "entry array at sectors " + number(h.entries_lba) + " to " + number(h.entries_lba + array_sectors) +
               " lies beyond the disk's " + number(disk_sectors) + " sectors";
        return false;
    }
    if (h.first_usable > h.last_usable + 1) {
        *why = "first usable sector " + number(h.first_usable) + " lies after the last, " + number(h.last_usable);
        return false;
    }
    *header = h;
    return true;
}

bool parse_gpt_entries(const gpt_header& header, const std::uint8_t* array, std::size_t size,
                       std::vector<gpt_partition>* partitions, std::string* why)
{
    const std::uint64_t array_bytes = std::uint64_t{header.entry_count} * header.entry_size;
    if (size < array_bytes) {
        *why = "entry array of " + number(size) + " bytes, the header says " + number(array_bytes);
        return false;
    }
    const std::uint32_t computed = crc32_of(array, static_cast<std::size_t>(array_bytes));
    if (computed != header.entries_crc) {
        char text[80];
        std::snprintf(text, sizeof text, "entry array CRC 0x%08x in the header, its bytes give 0x%08x",
                      header.entries_crc, computed);
        *why = text;
        return false;
    }
    std::vector<gpt_partition> out;
    for (std::uint32_t i = 0; i < header.entry_count; ++i) {
        const std::uint8_t* e = array + std::uint64_t{i} * header.entry_size;
        gpt_partition p;
        p.type = guid_at(e + off_type);
        if (p.type.is_zero())
            continue;
        p.index = i + 1;
        p.unique = guid_at(e + off_unique);
        p.first = le64(e + off_first);
        p.last = le64(e + off_last);
        p.attributes = le64(e + off_attributes);
        p.label = name_at(e + off_name);
        out.push_back(std::move(p));
    }
    *partitions = std::move(out);
    return true;
}

gpt_copy read_gpt_copy(const gpt_sector_reader& read, std::uint32_t sector_size, std::uint64_t header_lba,
                       std::uint64_t disk_sectors)
{
    gpt_copy copy;
    std::string why;
    bool absent = false;
    if (read_table(read, sector_size, header_lba, disk_sectors, &copy, &why, &absent))
        return copy;
    if (absent)
        throw gpt_absent("no partition table (no GPT signature at sector " + number(header_lba) + ")");
    throw gpt_damaged(why);
}

void set_gpt_attributes(gpt_copy& copy, std::uint32_t index, std::uint64_t attributes)
{
    gpt_header& h = copy.header;
    const std::uint64_t array_bytes = std::uint64_t{h.entry_count} * h.entry_size;
    if (index == 0 || index > h.entry_count || array_bytes > copy.array.size() ||
        copy.header_sector.size() < off_entries_crc + 4 || le32(copy.header_sector.data() + off_header_size) > copy.header_sector.size())
        throw std::out_of_range("gpt: no entry " + number(index) + " in an array of " + number(h.entry_count));
    put_le(copy.array.data() + std::uint64_t{index - 1} * h.entry_size + off_attributes, attributes, 8);
    for (gpt_partition& p : copy.partitions)
        if (p.index == index)
            p.attributes = attributes;

    h.entries_crc = crc32_of(copy.array.data(), static_cast<std::size_t>(array_bytes));
    std::uint8_t* sector = copy.header_sector.data();
    put_le(sector + off_entries_crc, h.entries_crc, 4);
    // The header's CRC covers its own field read as zero.
    const std::uint32_t header_size = le32(sector + off_header_size);
    put_le(sector + off_header_crc, 0, 4);
    put_le(sector + off_header_crc, crc32_of(sector, header_size), 4);
}

gpt_table read_gpt(const gpt_sector_reader& read, std::uint32_t sector_size, std::uint64_t disk_sectors)
{
    gpt_copy primary;
    std::string primary_why;
    bool primary_absent = false;
    if (read_table(read, sector_size, 1, disk_sectors, &primary, &primary_why, &primary_absent))
        return gpt_table{primary.header, std::move(primary.partitions), false, {}};

    std::string backup_why = "the disk size is not known, so the backup header cannot be found";
    bool backup_absent = true;
    if (disk_sectors > 1) {
        gpt_copy backup;
        if (read_table(read, sector_size, disk_sectors - 1, disk_sectors, &backup, &backup_why, &backup_absent))
            return gpt_table{backup.header, std::move(backup.partitions), true, primary_why};
    }
    if (primary_absent && backup_absent)
        throw gpt_absent("no partition table (no GPT signature at sector 1" +
                         (disk_sectors > 1 ? " or " + number(disk_sectors - 1) : std::string()) + ")");
    throw gpt_damaged("no valid GPT (primary: " + primary_why + "; backup: " + backup_why + ")");
}

std::string gpt_size_text(std::uint64_t bytes)
{
    static const char prefixes[] = "KMGTPEZ";
    double value = static_cast<double>(bytes);
    std::size_t level = 0;
    while (value > 1024.0 && level < sizeof prefixes - 1) {
        value /= 1024.0;
        ++level;
    }
    if (level == 0)
        return number(bytes) + " bytes";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %ciB", value, prefixes[level - 1]);
    return text;
}
