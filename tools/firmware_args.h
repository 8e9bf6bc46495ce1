// How a command names its firmware: a .brp package, or a maker's folder with
// options that say what of it to use (--program, --patch, --programmer,
// --memory, --include).
#pragma once

#include "folder_source.h"
#include "options.h"

#include <string>
#include <vector>

// The command's own options and the folder options.
std::vector<option_def> with_firmware_options(std::vector<option_def> own);

// The folder options the command line gives. Throws usage_error when they are
// given with a package rather than a folder, or --memory is neither ufs nor emmc.
folder_options folder_options_from(const parsed_args& args, const std::string& source_path);

// Help lines for the folder options, for a command's usage text.
#define BRV_FIRMWARE_HELP                                                                      \
    "SOURCE is a .brp package or a maker's firmware folder: its rawprogram<N>.xml\n"          \
    "and patch<N>.xml in numeric order, the programmer named prog_*, the images\n"            \
    "next to the XML files. For a folder:\n"                                                  \
    "  --program FILE    use this program file (repeatable, in order) instead of\n"           \
    "                    every rawprogram<N>.xml; its patch<N>.xml comes along\n"             \
    "  --patch FILE      use this patch file (repeatable) instead\n"                          \
    "  --programmer FILE the programmer, when the folder has none or several\n"               \
    "  --memory ufs|emmc the storage (default: 4096-byte sectors are UFS, 512 eMMC)\n"        \
    "  --include DIR     look for images in DIR too (repeatable)\n"
