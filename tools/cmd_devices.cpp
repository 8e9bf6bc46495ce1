#include "command.h"
#include "attached_handset.h"
#include "text_names.h"
#include "flash_report.h"

#include <cstdio>

namespace {

int run_devices(const parsed_args&)
{
    json_out::start();
    for (const attached_handset& h : list_handsets()) {
        std::printf("%u:%u:%u (05c6:9008)  port %s  serial %s\n", h.bus, h.port_number, h.address, h.port.c_str(),
                    h.serial.empty() ? "-" : printable_name(h.serial).c_str());
        json_out::object fields = flash_report::handset_json(h);
        fields.update({{"bus", h.bus}, {"address", h.address}, {"usb_id", "05c6:9008"}});
        json_out::emit("handset", {{"handset", fields}});
    }
    return exit_ok;
}

} // namespace

extern const command devices_command = {
    "devices",
    "list handsets in emergency-download mode",
    "Usage: brv devices\n"
    "\n"
    "Prints one line per attached handset in emergency-download mode\n"
    "(USB 05c6:9008): bus:port:address (vendor:product), then the port path\n"
    "that brv flash --port takes and the serial number that --serial takes\n"
    "(\"-\" when the handset has none or another program holds it).\n",
    {},
    0,
    0,
    run_devices,
};
