// A maker's firmware folder as a firmware source: a flat build with the
// programmer (prog_*), one rawprogram<N>.xml and one patch<N>.xml per LUN, and
// the images beside them. The N program files are merged into one <data> and
// the N patch files into one <patches>, in numeric order (every element names
// its LUN in physical_partition_number, so nothing is lost).
//
// Everything the folder can be refused for is refused when it is opened: a
// programmer that is missing, ambiguous or no ELF file, program or patch files
// that are not such files or disagree on the sector size, and every image the
// program files name that is not there, all listed at once.
#pragma once

#include "firmware_source.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct folder_options {
    // Program and patch files to use instead of every rawprogram<N>.xml and
    // patch<N>.xml, in this order. A name that is not a file as given is
    // looked for in the folder. With program files and no patch files, the
    // patch<N>.xml of each rawprogram<N>...xml given is used.
    std::vector<std::string> program_files;
    std::vector<std::string> patch_files;
    // The programmer; empty: the one file named prog_* in the folder.
    std::string programmer;
    // memory_emmc or memory_ufs; memory_unknown: told by the program files'
    // SECTOR_SIZE_IN_BYTES (4096 is UFS, 512 eMMC).
    std::uint32_t memory_type = 0;
    // Further folders where images are looked for, after the program file's own.
    std::vector<std::string> include_dirs;

    bool any() const;
};

// One image the program files name, found.
struct folder_image {
    std::string path;
    std::uint64_t size = 0;
};

class folder_source : public firmware_source {
public:
    // Throws std::runtime_error "<dir>: <what>" naming every problem.
    folder_source(const std::string& dir, const folder_options& options);

    std::string display_name() const override { return dir_; }
    std::uint32_t memory_type() const override { return memory_type_; }
    std::uint32_t sector_size() const override { return sector_size_; }
    buffer programmer() override;
    buffer program_document() override;
    buffer patch_document() override;
    std::uint64_t image_size(const std::string& name) override;
    // Throws "<path> changed while it was read" when the file no longer has
    // the size it had when the folder was opened.
    std::unique_ptr<byte_source> open_image(const std::string& name) override;

    // What a package made of the folder holds.
    const std::string& programmer_path() const { return programmer_path_; }
    const std::vector<std::string>& program_paths() const { return program_paths_; }
    const std::vector<std::string>& patch_paths() const { return patch_paths_; }
    const std::map<std::string, folder_image>& images() const { return images_; }
    const std::string& merged_program() const { return program_; }
    const std::string& merged_patches() const { return patches_; }

private:
    std::string dir_;
    std::string programmer_path_;
    std::vector<std::string> program_paths_;
    std::vector<std::string> patch_paths_;
    std::string program_;
    std::string patches_;
    std::map<std::string, folder_image> images_;  // by the name the program files use
    std::uint32_t memory_type_ = 0;
    std::uint32_t sector_size_ = 0;
};

// Whether the file begins with the ELF magic, as every programmer does.
bool is_elf_file(const std::string& path);
