// Package folders for the tests, member by member, and packing them with the
// project's packer. package_folder describes a complete package (what a flash
// reads: meta/params.txt, the programmer, the program and patch files, the
// partitions' images); pack_folder takes any set of members.
#pragma once

#include "elf_image.h"
#include "test_files.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// One <program> element and the member it names.
struct package_partition {
    std::string label;
    std::string file;      // "" writes nothing
    std::uint64_t start;   // sector
    std::uint64_t sectors;
    std::string image;     // the member's bytes
    unsigned lun = 0;
    int file_sector_offset = 0;
    bool sparse = false;   // sparse="true"
};

// One <patch> element.
struct package_patch {
    std::string file;      // "DISK" is applied by the handset
    unsigned lun;
    std::uint64_t sector;
    std::uint32_t byte_offset;
    std::uint32_t size;
    std::uint64_t value;
    std::string what = "test";
};

struct package_folder {
    std::string code_name = "tern";
    std::string display_name = "Tern";
    std::string memory = "emmc";
    std::uint32_t sector_size = 512;
    std::string programmer_name = "prog_firehose.elf";
    std::string programmer = make_elf(false, {3000});
    std::vector<package_partition> partitions;
    std::vector<package_patch> patches;
    // Further members; they replace generated ones of the same name.
    package_files extra;

    // meta/params.txt naming everything a flash needs.
    std::string params() const;
    // rawprogram0.xml and patch0.xml, every element in the order given.
    std::string program_xml() const;
    std::string patch_xml() const;
    // Every member: those four, the programmer, each partition's image (under
    // its file name), then `extra`.
    package_files files() const;
};

// Empties dir, writes the members into it and packs it into `package`
// (pack_directory).
void pack_folder(const std::filesystem::path& dir, const std::filesystem::path& package, const package_files& files);

} // namespace testsupport
