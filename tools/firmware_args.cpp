#include "firmware_args.h"

#include "firmware_open.h"
#include "memory_type.h"

std::vector<option_def> with_firmware_options(std::vector<option_def> own)
{
    own.insert(own.end(), {{"--program", true, true},
                           {"--patch", true, true},
                           {"--programmer", true},
                           {"--memory", true},
                           {"--include", true, true}});
    return own;
}

folder_options folder_options_from(const parsed_args& args, const std::string& source_path)
{
    folder_options o;
    o.program_files = args.all("--program");
    o.patch_files = args.all("--patch");
    o.programmer = args.value("--programmer", "");
    o.include_dirs = args.all("--include");
    if (args.has("--memory")) {
        o.memory_type = parse_memory_type(args.value("--memory", ""));
        if (o.memory_type == memory_unknown)
            throw usage_error("--memory takes ufs or emmc, not '" + args.value("--memory", "") + "'");
    }
    if ((o.any() || args.has("--programmer")) && !is_firmware_folder(source_path))
        throw usage_error("--program, --patch, --programmer, --memory and --include describe a firmware folder; " +
                          source_path + " is not one");
    return o;
}
