// Writing firmware onto a handset in emergency-download mode: the routine both
// faces of Brenvik run for "Flash".
#pragma once

#include "firmware_source.h"
#include "flash_options.h"
#include "progress.h"

#include <cstdint>
#include <string>
#include <vector>

// What a flash left out of what it was asked to write.
struct flash_summary {
    // Partitions the handset held already (options.skip_identical), by label;
    // "<label> (n of m runs)" for a sparse image written only in part.
    std::vector<std::string> skipped;
    std::uint64_t skipped_bytes = 0;
    // skip_identical was asked, but the programmer cannot hash what the
    // handset holds: everything was written.
    bool skip_unavailable = false;
};

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
//
// When the programmer offers getsha256digest, options.read_back compares its
// SHA-256 of each written stretch instead of reading the stretch back, and
// options.skip_identical leaves out the partitions (or runs of a sparse image)
// whose digest on the handset equals that of what would be written; the
// summary says which.
flash_summary flash_handset(firmware_source& source, int device_handle, progress_handler& handler,
                            const flash_options& options);

// Opens the handset options.handset names (see open_chosen_handset), flashes
// the source onto it and closes it. Throws as flash_handset and
// open_chosen_handset.
flash_summary flash_attached_handset(firmware_source& source, progress_handler& handler, const flash_options& options);
