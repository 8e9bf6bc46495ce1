// Faults of the USB model itself, chosen with `--fault usb:WHAT:KIND[@N]`:
//   usb:driver:bound     a kernel driver holds the interface when the handset
//                        arrives: claiming it fails with LIBUSB_ERROR_BUSY until the
//                        host detaches the driver or asks for automatic detach
//   usb:in:drop[@N]      the firmware's N-th write (every write without @N) is lost
//                        on its way to the host
//   usb:in:stall[@N]     the host's N-th IN transfer (every one without @N) ends with
//                        a stall; the endpoint stays halted until libusb_clear_halt()
//   usb:out:stall[@N]    the same for OUT transfers
#pragma once

#include "handset_options.h"

#include <string>

namespace vhandset {

// One planned fault that fires on the n-th event it counts (every event when n is 0).
class counted_fault {
public:
    void plan(unsigned nth) { planned_ = true, nth_ = nth; }
    // Counts one event; true when the fault applies to it.
    bool next()
    {
        ++seen_;
        return planned_ && (nth_ == 0 || seen_ == nth_);
    }

private:
    bool planned_ = false;
    unsigned nth_ = 0;
    unsigned seen_ = 0;
};

struct usb_faults {
    bool driver_bound = false;
    counted_fault in_drop;
    counted_fault in_stall;
    counted_fault out_stall;
};

// The usb:* faults of the options. Throws std::invalid_argument naming any
// usb fault this model does not know; faults of other places are ignored.
usb_faults plan_usb_faults(const handset_options& opts);

// The lines above, for help texts.
std::string usb_fault_help();

} // namespace vhandset
