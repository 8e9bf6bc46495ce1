#include "usb_faults.h"

#include <stdexcept>

namespace vhandset {

usb_faults plan_usb_faults(const handset_options& opts)
{
    usb_faults f;
    for (const auto& rule : opts.faults) {
        if (rule.where != "usb")
            continue;
        const std::string name = rule.where + ":" + rule.what + ":" + rule.kind;
        if (name == "usb:driver:bound")
            f.driver_bound = true;
        else if (name == "usb:in:drop")
            f.in_drop.plan(rule.nth);
        else if (name == "usb:in:stall")
            f.in_stall.plan(rule.nth);
        else if (name == "usb:out:stall")
            f.out_stall.plan(rule.nth);
        else
            throw std::invalid_argument("--fault " + name + ": unknown USB fault (usb:driver:bound, usb:in:drop, "
                                        "usb:in:stall, usb:out:stall)");
    }
    return f;
}

std::string usb_fault_help()
{
    return "USB faults (--fault usb:WHAT:KIND[@N]):\n"
           "  usb:driver:bound            a kernel driver holds the interface: claiming it fails with\n"
           "                              LIBUSB_ERROR_BUSY until the host detaches the driver\n"
           "                              (or asks for automatic detach)\n"
           "  usb:in:drop                 the firmware's write is lost on its way to the host (@N: the N-th)\n"
           "  usb:in:stall                the host's IN transfer ends with a stall (@N: the N-th); the\n"
           "                              endpoint stays halted until libusb_clear_halt()\n"
           "  usb:out:stall               the same for OUT transfers\n";
}

} // namespace vhandset
