// A .brp package made of a maker's folder: the merged program and patch
// documents, the programmer and the images the program files name, with the
// metadata the folder does not hold given by the caller. Flashing the package
// writes what flashing the folder writes.
#pragma once

#include "folder_source.h"
#include "package_builder.h"

#include <string>

struct folder_package_names {
    std::string display_name;  // device_display_name
    std::string code_name;     // device_code_name
};

// Member names of the merged documents in such a package.
constexpr char folder_program_member[] = "rawprogram.xml";
constexpr char folder_patch_member[] = "patch.xml";

// Stages the package's members in a new folder next to out_path (the images
// and the programmer as links, not copies), checks it as brv pack checks a
// package folder, packs it into out_path and removes the staging folder.
// Throws std::runtime_error listing the problems, with nothing written, when
// the check fails or a name would be a member twice; then pack_directory's
// errors.
void pack_folder(folder_source& folder, const folder_package_names& names, const std::string& out_path,
                 const pack_progress_fn& progress = {});
