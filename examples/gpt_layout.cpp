#include "gpt_layout.h"

#include "byte_order.h"

#include <cstring>
#include <stdexcept>
#include <zlib.h>

namespace {

constexpr std::uint32_t header_size = 92;
constexpr std::uint32_t gpt_revision = 0x00010000;
constexpr std::uint64_t first_usable = gpt_primary_sectors;
constexpr std::size_t label_units = 36;  // UTF-16 code units in an entry name
constexpr std::size_t guid_size = 16;
constexpr std::uint8_t protective_type = 0xEE;
constexpr std::uint32_t mbr_entry_offset = 446;
constexpr std::uint32_t mbr_signature_offset = 510;

// Linux filesystem data, 0FC63DAF-8483-4772-8E79-3D69D8477DE4, in on-disk order.
constexpr std::uint8_t partition_type[guid_size] = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                                    0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};

std::uint32_t crc(const std::uint8_t* p, std::size_t n)
{
    return static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0), p, static_cast<uInt>(n)));
}

// A random-looking but reproducible version-4 GUID, so the package builds the same every time.
void stable_guid(std::uint8_t* out, const std::string& seed)
{
    std::uint32_t h = crc(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size());
    for (std::size_t i = 0; i < guid_size; i += 4) {
        h = h * 1664525u + 1013904223u;
        store_le32(out + i, h);
    }
    out[7] = static_cast<std::uint8_t>((out[7] & 0x0F) | 0x40);
    out[8] = static_cast<std::uint8_t>((out[8] & 0x3F) | 0x80);
}

void fill_array(std::uint8_t* array, const std::vector<gpt_partition>& parts)
{
    for (std::size_t i = 0; i < parts.size(); ++i) {
        std::uint8_t* e = array + i * gpt_entry_size;
        const gpt_partition& p = parts[i];
        const std::uint64_t last = p.sectors ? p.first + p.sectors - 1 : p.first;
        std::memcpy(e, partition_type, guid_size);
        stable_guid(e + 16, "partition:" + p.label);
        store_le64(e + 32, p.first);
        store_le64(e + 40, last);
        for (std::size_t c = 0; c < p.label.size(); ++c)
            store_le16(e + 56 + 2 * c, static_cast<std::uint8_t>(p.label[c]));
    }
}

void fill_header(std::uint8_t* h, std::uint64_t my_lba, std::uint64_t other_lba, std::uint64_t last_usable,
                 std::uint64_t array_lba, std::uint32_t array_crc)
{
    std::memcpy(h, "EFI PART", 8);
    store_le32(h + 8, gpt_revision);
    store_le32(h + 12, header_size);
    store_le64(h + 24, my_lba);
    store_le64(h + 32, other_lba);
    store_le64(h + 40, first_usable);
    store_le64(h + 48, last_usable);
    stable_guid(h + 56, "disk");
    store_le64(h + 72, array_lba);
    store_le32(h + 80, gpt_entry_count);
    store_le32(h + 84, gpt_entry_size);
    store_le32(h + 88, array_crc);
    store_le32(h + 16, crc(h, header_size));
}

void fill_protective_mbr(std::uint8_t* mbr)
{
    std::uint8_t* e = mbr + mbr_entry_offset;
    e[2] = 0x02;  // CHS of sector 1
    e[4] = protective_type;
    e[5] = e[6] = e[7] = 0xFF;
    store_le32(e + 8, 1);
    // The tool does not know the disk size, so the entry claims the maximum.
    store_le32(e + 12, 0xFFFFFFFFu);
    mbr[mbr_signature_offset] = 0x55;
    mbr[mbr_signature_offset + 1] = 0xAA;
}

void check(const std::vector<gpt_partition>& parts)
{
    if (parts.size() > gpt_entry_count)
        throw std::runtime_error("too many partitions");
    std::uint64_t next = first_usable;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const gpt_partition& p = parts[i];
        if (p.label.size() > label_units)
            throw std::runtime_error("label too long: " + p.label);
        if (p.first < next)
            throw std::runtime_error("partition overlaps its predecessor: " + p.label);
        if (p.sectors == 0 && i + 1 != parts.size())
            throw std::runtime_error("only the last partition may grow: " + p.label);
        next = p.first + p.sectors;
    }
}

} // namespace

gpt_images build_gpt(const std::vector<gpt_partition>& parts)
{
    check(parts);
    // The smallest disk: everything fits, a growing partition gets one sector.
    std::uint64_t last_used = first_usable - 1;
    for (const gpt_partition& p : parts)
        last_used = p.first + (p.sectors ? p.sectors : 1) - 1;
    const std::uint64_t disk_sectors = last_used + 1 + gpt_backup_sectors;
    const std::uint64_t backup_header = disk_sectors - 1;
    const std::uint64_t backup_array = disk_sectors - gpt_backup_sectors;

    gpt_images out;
    out.main.assign(std::size_t{gpt_primary_sectors} * gpt_sector_size, 0);
    out.backup.assign(std::size_t{gpt_backup_sectors} * gpt_sector_size, 0);
    std::uint8_t* main_array = out.main.data() + 2 * gpt_sector_size;
    fill_array(main_array, parts);
    const std::size_t array_bytes = std::size_t{gpt_array_sectors} * gpt_sector_size;
    const std::uint32_t array_crc = crc(main_array, array_bytes);
    fill_protective_mbr(out.main.data());
    fill_header(out.main.data() + gpt_sector_size, 1, backup_header, last_used, 2, array_crc);
    std::memcpy(out.backup.data(), main_array, array_bytes);
    fill_header(out.backup.data() + array_bytes, backup_header, 1, last_used, backup_array, array_crc);
    return out;
}
