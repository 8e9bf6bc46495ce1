// The handsets attached in emergency-download mode, and the one an operation
// means: the only one attached, or one named by serial or port.
#pragma once

#include "flash_options.h"

#include <stdexcept>
#include <string>
#include <vector>

// The user's text for a failed open of the handset, from its errno.
std::string open_failure_text(int error);

// One handset attached in emergency-download mode, as a user can name it.
struct attached_handset {
    std::string port;    // "1-2.4"
    std::string serial;  // empty when it has none or it could not be read (held by another program)
    unsigned bus = 0;
    unsigned port_number = 0;  // the last port of the path
    unsigned address = 0;
};

// Every attached 05c6:9008 device, in the order the bus lists them. Reading
// the serial strings opens each device for a moment, so this runs on one
// thread while no other opens or closes devices. Throws "Cannot list USB
// devices: <why>".
std::vector<attached_handset> list_handsets();

// Several handsets are attached and none was chosen. what() is
// open_failure_text(ENOTUNIQ); handsets() says which they are, so a caller
// that can choose one can say how.
class several_handsets : public std::runtime_error {
public:
    explicit several_handsets(std::vector<attached_handset> handsets);
    const std::vector<attached_handset>& handsets() const { return handsets_; }

private:
    std::vector<attached_handset> handsets_;
};

// Opens the chosen handset (choice empty: the only one attached) and returns
// its device handle. A handset that cannot be opened throws
// std::runtime_error "Cannot open device: " and why: none attached, several
// attached (several_handsets), no permission (with where the udev rule is), or
// "no handset with serial <s> is attached (attached: ...)" or the same for the
// port; a serial that more than one attached handset has opens none
// ("<n> handsets with serial <s> are attached (...); choose one with --port").
int open_chosen_handset(const handset_choice& choice);

// The handset behind an open device handle (see usb_open), its serial read
// through that handle.
attached_handset describe_open_handset(int handle);

// A device handle, closed when the scope ends.
class handset_handle {
public:
    explicit handset_handle(int handle) : handle_(handle) {}
    handset_handle(const handset_handle&) = delete;
    handset_handle& operator=(const handset_handle&) = delete;
    ~handset_handle();
    int get() const { return handle_; }

private:
    int handle_;
};

// "port 1-2 (serial VH00000001)", or without the serial when there is none;
// control characters in the serial are escaped (printable_name).
std::string describe_handset(const attached_handset& handset);
