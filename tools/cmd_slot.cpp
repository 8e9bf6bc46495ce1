#include "command.h"
#include "firmware_args.h"
#include "flash_phases.h"
#include "handset_args.h"
#include "json_output.h"
#include "read_session.h"
#include "slot_switch.h"

#include <cstdio>

namespace {

std::string listed(const std::vector<std::string>& items)
{
    std::string out;
    for (const std::string& i : items)
        out += (out.empty() ? "" : ", ") + i;
    return out;
}

int show_slot(read_session& session)
{
    const slot_state s = read_slot_state(session.programmer(), session.source().memory_type());
    json_out::emit("slot", {{"has_ab", s.has_ab},
                            {"active", s.active != 0 ? json_out::object(std::string(1, s.active)) : nullptr},
                            {"active_a", s.active_a},
                            {"active_b", s.active_b}});
    if (!s.has_ab)
        std::printf("This handset has no A/B partitions (no partition comes as NAME_a and NAME_b)\n");
    else if (s.active != 0)
        std::printf("Active slot: %c\n", s.active);
    else if (s.active_a.empty())
        std::printf("No slot is marked active\n");
    else
        std::printf("No single active slot: marked active are %s and %s\n", listed(s.active_a).c_str(),
                    listed(s.active_b).c_str());
    return exit_ok;
}

int run_slot(const parsed_args& args)
{
    const std::string& path = args.positional[0];
    const folder_options folder = folder_options_from(args, path);
    const bool change = args.positional.size() == 2;
    if (change && args.positional[1] != "a" && args.positional[1] != "b")
        throw usage_error("the slot is a or b, not '" + args.positional[1] + "'");
    json_out::start({{"package", path}});
    read_session session(path, folder, handset_choice_from(args), change);
    if (!change)
        return show_slot(session);

    const char slot = args.positional[1][0];
    flash_phases phases("Nothing was written to the handset.");
    phases.watch_storage([&session] { return session.programmer().storage_touched(); });
    phases.observe(json_out::emit_phase);
    slot_switch_result r;
    phases.run(std::string("Switching to slot ") + slot, [&] {
        r = switch_slot(session.programmer(), session.source().memory_type(), slot, [&] { phases.writing_began(); });
    });
    std::printf("Active slot: %c (%zu partition table entries changed on %zu LUNs; boot LUN %u)\n", slot,
                r.changed_entries, r.luns_written.size(), r.bootable_drive);
    json_out::emit("slot_switched", {{"active", std::string(1, slot)},
                                     {"changed_entries", r.changed_entries},
                                     {"luns", r.luns_written},
                                     {"boot_lun", r.bootable_drive}});
    return exit_ok;
}

} // namespace

extern const command slot_command = {
    "slot",
    "show or switch the active A/B slot of a handset",
    "Usage: brv slot SOURCE [a|b] [--serial S | --port BUS-PORTS]\n"
    "\n"
    "Starts the firmware's flash programmer on the handset and shows which slot\n"
    "the partition tables mark active, or makes slot a or b the active one: the\n"
    "A/B attribute bits of every NAME_a/NAME_b partition are set in the primary\n"
    "and the backup table of every LUN (both CRCs recomputed), and the boot LUN\n"
    "is set as the handset expects (on UFS 1 for slot a, 2 for slot b; on eMMC\n"
    "0). Refused before anything is written: a handset without A/B partitions,\n"
    "a damaged or unreachable table, a programmer that cannot set the boot LUN.\n"
    "The handset is not reset afterwards.\n"
    "\n"
    "Example: brv slot firmware/ b\n"
    "\n"
    "  --serial S        the handset whose USB serial number is S (see brv devices)\n"
    "  --port BUS-PORTS  the handset at that USB port, e.g. 1-2 (see brv devices)\n"
    "\n" BRV_FIRMWARE_HELP,
    with_firmware_options({serial_option, port_option}),
    1,
    2,
    run_slot,
};
