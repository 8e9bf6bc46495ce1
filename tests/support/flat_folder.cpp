#include "flat_folder.h"

#include "byte_order.h"
#include "elf_image.h"
#include "test_files.h"

#include <zlib.h>

#include <cstdlib>
#include <span>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t first_usable = 6;     // protective MBR, header, 4 array sectors
constexpr std::uint64_t backup_sectors = 5;   // array, header
constexpr std::uint32_t entry_bytes = 128;
constexpr std::uint32_t entry_count = 128;
constexpr std::uint32_t array_bytes = entry_bytes * entry_count;
constexpr std::uint64_t slot_a_active = std::uint64_t{0x7f} << 48;  // priority 3, active, 7 retries, successful

struct layout_entry {
    unsigned lun;
    const char* label;
    std::uint64_t sectors;  // 0: grows to the end of the disk
    const char* image;
    std::size_t image_bytes;
    std::uint64_t attributes;
};

// Images shared by a pair are one file, as makers ship them.
const layout_entry layout[] = {
    {0, "ssd", 2, "", 0, 0},
    {0, "persist", 8, "persist.img", 20000, 0},
    {0, "misc", 2, "", 0, 0},
    {0, "super", 512, "super.img", 0, 0},
    {0, "metadata", 4, "metadata.img", 5000, 0},
    {0, "userdata", 0, "", 0, 0},
    {1, "xbl_a", 16, "xbl.elf", 50000, slot_a_active},
    {1, "xbl_config_a", 4, "xbl_config.elf", 9000, slot_a_active},
    {1, "last_parti", 0, "", 0, 0},
    {2, "xbl_b", 16, "xbl.elf", 50000, 0},
    {2, "xbl_config_b", 4, "xbl_config.elf", 9000, 0},
    {2, "last_parti", 0, "", 0, 0},
    {3, "ALIGN_TO_128K_1", 26, "", 0, 0},
    {3, "cdt", 4, "cdt.bin", 3000, 0},
    {3, "last_parti", 0, "", 0, 0},
    {4, "boot_a", 64, "boot.img", 200000, slot_a_active},
    {4, "boot_b", 64, "boot.img", 200000, 0},
    {4, "dtbo_a", 8, "dtbo.img", 20000, slot_a_active},
    {4, "dtbo_b", 8, "dtbo.img", 20000, 0},
    {4, "vbmeta_a", 2, "vbmeta.img", 4096, slot_a_active},
    {4, "vbmeta_b", 2, "vbmeta.img", 4096, 0},
    {4, "last_parti", 0, "", 0, 0},
    {5, "ALIGN_TO_128K_2", 26, "", 0, 0},
    {5, "modemst1", 8, "modemst1.bin", 32768, 0},
    {5, "fsg", 8, "fsg.bin", 30000, 0},
    {5, "last_parti", 0, "", 0, 0},
};

std::span<std::uint8_t> bytes_of(std::string& s)
{
    return {reinterpret_cast<std::uint8_t*>(s.data()), s.size()};
}

std::uint32_t crc_of(const std::string& s, std::size_t at, std::size_t n)
{
    return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(s.data() + at), static_cast<uInt>(n)));
}

// Super: data, a hole, a run of one repeated word, more data, a hole at the end.
std::string super_content(std::size_t bytes)
{
    std::string s(bytes, '\0');
    s.replace(0, 64 << 10, pattern_bytes(64 << 10, 40));
    for (std::size_t i = 1 << 20; i < (1 << 20) + (256 << 10); ++i)
        s[i] = static_cast<char>("\xab\xcd\xef\x01"[i % 4]);
    s.replace((1 << 20) + (256 << 10), 256 << 10, pattern_bytes(256 << 10, 41));
    return s;
}

std::string hex(std::uint64_t v)
{
    std::ostringstream o;
    o << "0x" << std::hex << v;
    return o.str();
}

std::string program_element(const flat_partition& p, const std::string& filename, const std::string& start,
                            const std::string& start_hex, std::uint64_t sectors, bool sparse)
{
    std::ostringstream o;
    o << "  <program SECTOR_SIZE_IN_BYTES=\"4096\" file_sector_offset=\"0\" filename=\"" << filename << "\" label=\""
      << p.label << "\" num_partition_sectors=\"" << sectors << "\" partofsingleimage=\"false\" physical_partition_number=\""
      << p.lun << "\" readbackverify=\"false\" size_in_KB=\"" << sectors * 4 << ".0\" sparse=\""
      << (sparse ? "true" : "false") << "\" start_byte_hex=\"" << start_hex << "\" start_sector=\"" << start << "\" />\n";
    return o.str();
}

std::string erase_element(const flat_partition& p)
{
    std::ostringstream o;
    o << "  <erase SECTOR_SIZE_IN_BYTES=\"4096\" label=\"" << p.label << "\" num_partition_sectors=\"" << p.sectors
      << "\" physical_partition_number=\"" << p.lun << "\" start_sector=\"" << p.first << "\" />\n";
    return o.str();
}

// One patch; `file` is DISK or the table image it is meant for.
std::string patch_element(const std::string& file, unsigned lun, const std::string& start, std::uint64_t offset,
                          unsigned size, const std::string& value, const std::string& what)
{
    std::ostringstream o;
    o << "  <patch SECTOR_SIZE_IN_BYTES=\"4096\" byte_offset=\"" << offset << "\" filename=\"" << file
      << "\" physical_partition_number=\"" << lun << "\" size_in_bytes=\"" << size << "\" start_sector=\"" << start
      << "\" value=\"" << value << "\" what=\"" << what << "\"/>\n";
    return o.str();
}

// The 13 fixes of one LUN's tables for the real disk, aimed at the disk or
// (with image starts) at the table files.
std::string lun_patches(unsigned lun, std::size_t grow_index, bool disk)
{
    const std::string file_main = disk ? "DISK" : "gpt_main" + std::to_string(lun) + ".bin";
    const std::string file_backup = disk ? "DISK" : "gpt_backup" + std::to_string(lun) + ".bin";
    const std::uint64_t at = std::uint64_t{grow_index} * entry_bytes + 40;
    const std::string backup_array = disk ? "NUM_DISK_SECTORS-5." : "0";
    const std::string backup_header = disk ? "NUM_DISK_SECTORS-1." : "4";
    const std::string grow_backup =
        disk ? "NUM_DISK_SECTORS-" + std::to_string(5 - at / 4096) + "." : std::to_string(at / 4096);
    std::string out;
    out += patch_element(file_main, lun, std::to_string(2 + at / 4096), at % 4096, 8, "NUM_DISK_SECTORS-6.",
                         "Update last partition's ending LBA in the primary array");
    out += patch_element(file_backup, lun, grow_backup, at % 4096, 8, "NUM_DISK_SECTORS-6.",
                         "Update last partition's ending LBA in the backup array");
    out += patch_element(file_main, lun, "1", 48, 8, "NUM_DISK_SECTORS-6.", "Update Primary Header with LastUseableLBA.");
    out += patch_element(file_backup, lun, backup_header, 48, 8, "NUM_DISK_SECTORS-6.",
                         "Update Backup Header with LastUseableLBA.");
    out += patch_element(file_main, lun, "1", 32, 8, "NUM_DISK_SECTORS-1.", "Update Primary Header with BackupGPT Header Location.");
    out += patch_element(file_backup, lun, backup_header, 24, 8, "NUM_DISK_SECTORS-1.",
                         "Update Backup Header with CurrentLBA.");
    out += patch_element(file_backup, lun, backup_header, 72, 8, "NUM_DISK_SECTORS-5.",
                         "Update Backup Header with Partition Array Location.");
    out += patch_element(file_main, lun, "1", 88, 4, "CRC32(2,16384)", "Update Primary Header with CRC of Partition Array.");
    out += patch_element(file_backup, lun, backup_header, 88, 4, "CRC32(" + backup_array + ",16384)",
                         "Update Backup Header with CRC of Partition Array.");
    out += patch_element(file_main, lun, "1", 16, 4, "0", "Zero Out Header CRC in Primary Header.");
    out += patch_element(file_main, lun, "1", 16, 4, "CRC32(1,92)", "Update Primary Header with CRC of Primary Header.");
    out += patch_element(file_backup, lun, disk ? "NUM_DISK_SECTORS-1" : "4", 16, 4, "0",
                         "Zero Out Header CRC in Backup Header.");
    out += patch_element(file_backup, lun, backup_header, 16, 4, "CRC32(" + backup_header + ",92)",
                         "Update Backup Header with CRC of Backup Header.");
    return out;
}

} // namespace

std::string pattern_bytes(std::size_t size, unsigned seed)
{
    std::string s(size, '\0');
    std::uint32_t x = 2463534242u + seed * 7919u;
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

flat_folder::flat_folder(const fs::path& dir, std::uint64_t lun_bytes) : dir_(dir), lun_sectors_(lun_bytes / sector_size)
{
    fs::create_directories(dir_);
    write_file(dir_ / "prog_firehose_ddr.elf", make_elf(false, {4096, 1000}));
    write_file(dir_ / "contents.xml", "<contents><product_info/></contents>\n");

    std::uint64_t next[luns];
    std::fill(std::begin(next), std::end(next), first_usable);
    unsigned seed = 1;
    for (const layout_entry& s : layout) {
        flat_partition p;
        p.lun = s.lun;
        p.label = s.label;
        p.first = next[s.lun];
        p.sectors = s.sectors != 0 ? s.sectors : lun_sectors_ - backup_sectors - p.first;
        p.image = s.image;
        p.attributes = s.attributes;
        next[s.lun] += s.sectors;
        if (p.label == "super") {
            const std::string raw = super_content(s.sectors * sector_size);
            write_file(dir_ / "super.raw", raw);
            const std::string command = "img2simg " + (dir_ / "super.raw").string() + " " + (dir_ / "super.img").string();
            if (std::system(command.c_str()) != 0)
                throw std::runtime_error("img2simg failed");
            fs::remove(dir_ / "super.raw");
            p.content = raw;
        } else if (!p.image.empty()) {
            // The second of a pair shares the first one's file.
            bool shared = false;
            for (const flat_partition& q : partitions_)
                if (q.image == p.image) {
                    p.content = q.content;
                    shared = true;
                }
            if (!shared) {
                p.content = pattern_bytes(s.image_bytes, seed++);
                write_file(dir_ / p.image, p.content);
            }
        }
        partitions_.push_back(std::move(p));
    }

    for (unsigned lun = 0; lun < luns; ++lun) {
        // The tables as tools ship them: for the smallest disk that holds the partitions.
        const std::uint64_t smallest = next[lun] + 1 + backup_sectors;
        write_file(dir_ / ("gpt_main" + std::to_string(lun) + ".bin"), table_bytes(lun, smallest, true));
        write_file(dir_ / ("gpt_backup" + std::to_string(lun) + ".bin"), table_bytes(lun, smallest, false));

        std::string program = "<?xml version=\"1.0\" ?>\n<data>\n  <!--NOTE: This is an ** Autogenerated file **-->\n";
        flat_partition gpt;
        gpt.lun = lun;
        gpt.label = "PrimaryGPT";
        program += program_element(gpt, "gpt_main" + std::to_string(lun) + ".bin", "0", "0x0", first_usable, false);
        std::size_t grow_index = 0;
        std::size_t index = 0;
        for (const flat_partition& p : partitions_) {
            if (p.lun != lun)
                continue;
            const bool grows = p.first + p.sectors == lun_sectors_ - backup_sectors;
            if (grows)
                grow_index = index;
            ++index;
            program += program_element(p, p.image, std::to_string(p.first), hex(p.first * sector_size),
                                       grows ? 0 : p.sectors, p.label == "super");
        }
        gpt.label = "BackupGPT";
        program += program_element(gpt, "gpt_backup" + std::to_string(lun) + ".bin", "NUM_DISK_SECTORS-5.",
                                   "(4096*NUM_DISK_SECTORS)-20480.", backup_sectors, false);
        write_file(dir_ / ("rawprogram" + std::to_string(lun) + ".xml"), program + "</data>\n");
        write_file(dir_ / ("patch" + std::to_string(lun) + ".xml"),
                   "<?xml version=\"1.0\" ?>\n<patches>\n" + lun_patches(lun, grow_index, false) +
                       lun_patches(lun, grow_index, true) + "</patches>\n");
    }

    // Variants a user must choose on purpose.
    flat_partition blank;
    blank.label = "PrimaryGPT";
    write_file(dir_ / "rawprogram0_BLANK_GPT.xml",
               "<?xml version=\"1.0\" ?>\n<data>\n" + program_element(blank, "gpt_empty0.bin", "0", "0x0", 6, false) +
                   "</data>\n");
    const flat_partition& modem = partition("modemst1");
    write_file(dir_ / "rawprogram5_WIPE_PARTITIONS.xml",
               "<?xml version=\"1.0\" ?>\n<data>\n" + erase_element(modem) +
                   program_element(modem, modem.image, std::to_string(modem.first), hex(modem.first * sector_size),
                                   modem.sectors, false) +
                   erase_element(partition("fsg")) + "</data>\n");
}

const flat_partition& flat_folder::partition(const std::string& label) const
{
    for (const flat_partition& p : partitions_)
        if (p.label == label)
            return p;
    throw std::runtime_error("no partition " + label);
}

std::string flat_folder::table_bytes(unsigned lun, std::uint64_t disk_sectors, bool primary) const
{
    std::string array(array_bytes, '\0');
    std::size_t i = 0;
    for (const flat_partition& p : partitions_) {
        if (p.lun != lun)
            continue;
        const std::size_t e = i++ * entry_bytes;
        const bool grows = p.first + p.sectors == lun_sectors_ - backup_sectors;
        const std::uint64_t last = grows ? disk_sectors - backup_sectors - 1 : p.first + p.sectors - 1;
        // Type: Linux data; unique GUID from the LUN and position.
        store_le64(bytes_of(array), e, 0x477284830fc63dafull);
        store_le64(bytes_of(array), e + 8, 0xe47d47d8693d798eull);
        store_le64(bytes_of(array), e + 16, 0x1000 + lun * 0x100 + i);
        store_le64(bytes_of(array), e + 24, 0x4000000000000080ull);
        store_le64(bytes_of(array), e + 32, p.first);
        store_le64(bytes_of(array), e + 40, last);
        store_le64(bytes_of(array), e + 48, p.attributes);
        for (std::size_t c = 0; c < p.label.size(); ++c)
            store_le16(bytes_of(array), e + 56 + 2 * c, static_cast<unsigned char>(p.label[c]));
    }
    std::string header(sector_size, '\0');
    header.replace(0, 8, "EFI PART");
    store_le32(bytes_of(header), 8, 0x00010000);
    store_le32(bytes_of(header), 12, 92);
    store_le64(bytes_of(header), 24, primary ? 1 : disk_sectors - 1);
    store_le64(bytes_of(header), 32, primary ? disk_sectors - 1 : 1);
    store_le64(bytes_of(header), 40, first_usable);
    store_le64(bytes_of(header), 48, disk_sectors - backup_sectors - 1);
    store_le64(bytes_of(header), 56, 0x1122334455667700ull + lun);
    store_le64(bytes_of(header), 64, 0x8877665544332211ull);
    store_le64(bytes_of(header), 72, primary ? 2 : disk_sectors - backup_sectors);
    store_le32(bytes_of(header), 80, entry_count);
    store_le32(bytes_of(header), 84, entry_bytes);
    store_le32(bytes_of(header), 88, crc_of(array, 0, array.size()));
    store_le32(bytes_of(header), 16, crc_of(header, 0, 92));
    if (!primary)
        return array + header;
    std::string mbr(sector_size, '\0');
    mbr[446 + 4] = static_cast<char>(0xee);
    store_le32(bytes_of(mbr), 446 + 8, 1);
    // Shipped for no particular disk: the size is "as large as it gets", which no patch touches.
    store_le32(bytes_of(mbr), 446 + 12, 0xffffffffu);
    store_le16(bytes_of(mbr), 510, 0xaa55);
    return mbr + header + array;
}

std::string flat_folder::expected_lun(unsigned lun) const
{
    std::string disk(lun_sectors_ * sector_size, '\0');
    disk.replace(0, first_usable * sector_size, table_bytes(lun, lun_sectors_, true));
    disk.replace((lun_sectors_ - backup_sectors) * sector_size, backup_sectors * sector_size,
                 table_bytes(lun, lun_sectors_, false));
    for (const flat_partition& p : partitions_)
        if (p.lun == lun && !p.content.empty())
            disk.replace(p.first * sector_size, p.content.size(), p.content);
    return disk;
}

} // namespace testsupport
