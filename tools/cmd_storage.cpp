#include "command.h"
#include "firmware_args.h"
#include "gpt.h"
#include "handset_args.h"
#include "json_output.h"
#include "read_session.h"

#include <cinttypes>
#include <cstdio>

namespace {

int run_storage(const parsed_args& args)
{
    const std::string& path = args.positional[0];
    const folder_options folder = folder_options_from(args, path);
    const std::optional<std::uint32_t> only = lun_option(args);
    json_out::start({{"package", path}});
    read_session session(path, folder, handset_choice_from(args));
    firehose& programmer = session.programmer();
    const bool reports = programmer.supports("getStorageInfo");
    int status = exit_ok;
    bool named = false;
    for (const std::uint32_t lun : session.luns(only)) {
        firehose_storage_info info;
        try {
            if (reports) {
                info = programmer.storage_info(lun);
            } else {
                info.total_blocks = lun_sectors(programmer, lun);
                info.block_size = programmer.sector_size();
            }
        } catch (const firehose_refusal& e) {
            json_out::failure("LUN " + std::to_string(lun) + ": the programmer refused to report it: " + e.what(),
                              "refused");
            status = exit_failed;
            continue;
        }
        if (!named && !info.prod_name.empty()) {
            std::printf("Storage: %s\n", info.prod_name.c_str());
            named = true;
        }
        const std::uint32_t block = info.block_size != 0 ? info.block_size : programmer.sector_size();
        std::printf("LUN %u: %" PRIu64 " blocks of %u bytes (%s)%s%s\n", lun, info.total_blocks, block,
                    gpt_size_text(info.total_blocks * block).c_str(), info.mem_type.empty() ? "" : ", ",
                    info.mem_type.c_str());
        json_out::emit("storage", {{"lun", lun},
                                   {"blocks", info.total_blocks},
                                   {"block_size", block},
                                   {"bytes", info.total_blocks * block},
                                   {"memory_type", info.mem_type.empty() ? json_out::object(nullptr) : json_out::object(info.mem_type)},
                                   {"product", info.prod_name.empty() ? json_out::object(nullptr) : json_out::object(info.prod_name)}});
    }
    return status;
}

} // namespace

extern const command storage_command = {
    "storage",
    "show the handset's storage as its programmer reports it",
    "Usage: brv storage SOURCE [--lun N] [--serial S | --port BUS-PORTS]\n"
    "\n"
    "Starts the firmware's flash programmer on the handset, configured to write\n"
    "nothing, and prints what it reports for each LUN (0 on eMMC, 0 to 5 on UFS):\n"
    "blocks, block size, size and memory type, and the storage's product name.\n"
    "A programmer without getStorageInfo is asked for the number of sectors only.\n"
    "\n"
    "Example: brv storage firmware/\n"
    "\n"
    "  --lun N           only that LUN\n"
    "  --serial S        the handset whose USB serial number is S (see brv devices)\n"
    "  --port BUS-PORTS  the handset at that USB port, e.g. 1-2 (see brv devices)\n"
    "\n" BRV_FIRMWARE_HELP,
    with_firmware_options({{"--lun", true}, serial_option, port_option}),
    1,
    1,
    run_storage,
};
