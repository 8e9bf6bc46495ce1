// The process-wide table behind the integer handles of usb.h: 256 device
// slots of 8 bulk pipes each. Internal to the USB layer; nothing outside usb/
// includes it. One thread at a time uses the table (the flash worker); the
// completion function runs on that same thread, inside libusb's event handling.
#pragma once

#include "usb.h"

#include <libusb.h>

#include <cstdint>
#include <memory>

struct usb_transfer_free {
    void operator()(libusb_transfer* t) const { libusb_free_transfer(t); }
};
using usb_transfer_ptr = std::unique_ptr<libusb_transfer, usb_transfer_free>;

// One bulk pipe: an interface with an IN and an OUT endpoint. A pipe is in use
// when either endpoint address is non-zero; a free pipe is all zero.
struct usb_pipe_record {
    std::uint32_t interface_number = 0;
    std::uint8_t in_endpoint = 0;   // bit 7 set
    std::uint16_t in_max_packet = 0;
    std::uint8_t out_endpoint = 0;
    std::uint16_t out_max_packet = 0;
    std::uint32_t timeout_ms = 0;
    usb_transfer_ptr receive;                     // always submitted while the pipe is open
    std::unique_ptr<std::uint8_t[]> receive_buffer;  // usb_receive_size bytes
    // Completed and not consumed yet. An int, because libusb's event handling
    // watches it: when several threads handle events, the completion of this
    // pipe's transfer may run on another thread, and the waiting one must
    // wake for it instead of sleeping out its time-out.
    int done = 0;
    // Submitted and not completed yet. Kept apart from `done` because after a
    // failed resubmission neither holds, and nothing would ever complete.
    bool in_flight = false;

    bool in_use() const { return in_endpoint != 0 || out_endpoint != 0; }
};

struct usb_slot {
    libusb_device_handle* device = nullptr;  // null: slot free
    usb_pipe_record pipes[usb_max_pipes];
};

// The slot of an open handle, or nullptr (out of range or free).
usb_slot* usb_slot_at(int handle);
// The pipe of an open handle when the index is in range and the pipe in use,
// else nullptr.
usb_pipe_record* usb_pipe_at(int handle, int pipe);

// Submits the pipe's receive transfer; a libusb error code (0 on success).
int usb_submit_receive(usb_pipe_record& p);

// Completion function of every receive transfer; user data is the pipe record,
// or null for a transfer abandoned by usb_close_pipe (it then frees itself).
void LIBUSB_CALL transfer_rx_cb(libusb_transfer* transfer);

// Closes every open slot (used when the library shuts down at process exit).
void usb_close_all();
