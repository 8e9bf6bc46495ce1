// Writing firmware onto a handset in emergency-download mode: the routine both
// faces of Brenvik run for "Flash".
#pragma once

#include "firmware_source.h"
#include "flash_options.h"
#include "progress.h"

// Flashes the source onto the handset behind device_handle (an open device of
// the USB layer, borrowed). Returns when the flash reached its end, also after
// a cancel (options.cancel, cleared when the flash starts), which skips the
// remaining OS partitions but still patches and resets. Every failure is a
// std::runtime_error whose text says which phase failed, on which partition,
// why (with the programmer's own words when it gave some), whether anything
// was written and what the user can do.
//
// Nothing is written until everything that can be checked has been: both XML
// documents (numbers, request lengths, no DTD), every image read through to
// its end (sparse images through every chunk), each image against its
// partition. These checks run while the programmer is uploaded and starts; a
// failure of theirs is reported before one of the upload's. Once the
// programmer is configured, every partition is checked against the disk size
// it reports, still before the first write. A handset whose programmer is
// already running (no Sahara HELLO, but it answers a nop) is flashed without a
// new upload.
//
// After the programmer upload it lets the programmer start as options.wait
// says: a fixed pause (3000 ms, or BRV_PROGRAMMER_WAIT_MS), or until it answers.
void flash_handset(firmware_source& source, int device_handle, progress_handler& handler,
                   const flash_options& options);

// Opens the handset options.handset names (see open_chosen_handset), flashes
// the source onto it and closes it. Throws as flash_handset and
// open_chosen_handset.
void flash_attached_handset(firmware_source& source, progress_handler& handler, const flash_options& options);
