// The question the device detector asks once a second: is exactly one handset
// with a listed identity attached? Toolkit-free, so the command line and the
// tests can ask it too; the window's detector adds the timing.
#pragma once

#include "usb_id.h"

// True when exactly one attached USB device has an identity in ids (a list
// ended by an all-zero entry). Two such devices count as none: the flash could
// not tell which one to open. False also when the devices cannot be
// enumerated. Reads device descriptors only; opens no device.
bool usb_single_device_present(const usb_vidpid_t* ids);
