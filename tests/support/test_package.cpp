#include "test_package.h"

#include "package_builder.h"

namespace fs = std::filesystem;

namespace testsupport {

std::string package_folder::params() const
{
    return "device_code_name=" + code_name + "\ndevice_display_name=" + display_name + "\ndevice_memory_type=" +
           memory + "\ndevice_sector_size=" + std::to_string(sector_size) + "\nfirehose_filename=" + programmer_name +
           "\nprogram_filename=rawprogram0.xml\npatch_filename=patch0.xml\n";
}

std::string package_folder::program_xml() const
{
    std::string xml = "<?xml version=\"1.0\" ?>\n<data>\n  <!--NOTE: generated for the test-->\n";
    for (const package_partition& p : partitions)
        xml += "  <program SECTOR_SIZE_IN_BYTES=\"" + std::to_string(sector_size) + "\" file_sector_offset=\"" +
               std::to_string(p.file_sector_offset) + "\" filename=\"" + p.file + "\" label=\"" + p.label +
               "\" num_partition_sectors=\"" + std::to_string(p.sectors) +
               "\" partofsingleimage=\"false\" physical_partition_number=\"" + std::to_string(p.lun) +
               "\" readbackverify=\"false\" size_in_KB=\"" + std::to_string(p.sectors * sector_size / 1024) +
               ".0\" sparse=\"" + (p.sparse ? "true" : "false") + "\" start_byte_hex=\"0x0\" start_sector=\"" +
               std::to_string(p.start) + "\" />\n";
    return xml + "</data>\n";
}

std::string package_folder::patch_xml() const
{
    std::string xml = "<?xml version=\"1.0\" ?>\n<patches>\n";
    for (const package_patch& p : patches)
        xml += "  <patch SECTOR_SIZE_IN_BYTES=\"" + std::to_string(sector_size) + "\" byte_offset=\"" +
               std::to_string(p.byte_offset) + "\" filename=\"" + p.file + "\" physical_partition_number=\"" +
               std::to_string(p.lun) + "\" size_in_bytes=\"" + std::to_string(p.size) + "\" start_sector=\"" +
               std::to_string(p.sector) + "\" value=\"" + std::to_string(p.value) + "\" what=\"" + p.what + "\"/>\n";
    return xml + "</patches>\n";
}

package_files package_folder::files() const
{
    package_files out{
        {"meta/params.txt", params()},
        {programmer_name, programmer},
        {"rawprogram0.xml", program_xml()},
        {"patch0.xml", patch_xml()},
    };
    for (const package_partition& p : partitions)
        if (!p.file.empty())
            out[p.file] = p.image;
    for (const auto& [name, bytes] : extra)
        out[name] = bytes;
    return out;
}

void pack_folder(const fs::path& dir, const fs::path& package, const package_files& files)
{
    fs::remove_all(dir);
    write_folder(dir, files);
    pack_directory(dir.string(), package.string());
}

} // namespace testsupport
