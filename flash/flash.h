// Writing firmware onto a handset in emergency-download mode: the routine both
// faces of Brenvik run for "Flash".
#pragma once

#include "firmware_source.h"
#include "flash_options.h"
#include "progress.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What a flash that reached its end did, and what it left out.
struct flash_result {
    // OS partitions a cancel request left unwritten; 0 when everything the
    // flash type asks for was written (also when the request came too late to
    // skip anything).
    std::size_t skipped = 0;
    // Partitions the handset held already (options.skip_identical), by label;
    // "<label> (n of m runs)" for a sparse image written only in part.
    std::vector<std::string> identical;
    std::uint64_t identical_bytes = 0;
    // skip_identical was asked, but the programmer cannot hash what the
    // handset holds: everything was written.
    bool identical_unavailable = false;
};

// Flashes the source onto the handset behind device_handle (an open device of
// the USB layer, borrowed). Returns when the flash reached its end, also after
// a cancel (options.cancel) that came once writing had begun: the base
// partitions and the patches are completed, the remaining OS partitions
// skipped (counted in the result), and the handset is reset. A cancel that
// comes before the first write (while the package is checked, the programmer
// sent or connected, or partitions saved) stops the flash with nothing
// written: operation_cancelled (flash_phases.h) "Cancelled: nothing was
// written to the handset. ...". The request is not cleared here: whoever
// starts the flash clears it before. Every failure is a std::runtime_error
// whose text says which phase failed, on which partition, why (with the
// programmer's own words when it gave some), whether anything was written
// and what the user can do.
//
// Nothing is sent to the handset before options.before_handset has passed,
// and nothing is written until everything that can be checked has been: both
// XML documents (numbers, request lengths, no DTD, LUNs the storage has),
// every image read through to its end (sparse images through every chunk),
// each image against its partition, and options.before_first_write. These
// checks run while the programmer is uploaded and starts; a failure of theirs
// is reported before one of the upload's. Once the programmer is configured,
// every partition is checked against the disk size it reports, and a
// programmer that cannot read a whole sector is refused when the flash reads
// (a backup, a read-back, a comparison), still before the first write. A
// handset whose programmer is already running (no Sahara HELLO, but it answers
// a nop) is flashed without a new upload.
//
// After the programmer upload it lets the programmer start as options.wait
// says: a fixed pause (3000 ms, or BRV_PROGRAMMER_WAIT_MS), or until it
// answers; a cancel cuts the pause short.
//
// When the programmer offers getsha256digest, options.read_back compares its
// SHA-256 of each written stretch instead of reading the stretch back, and
// options.skip_identical leaves out the partitions (or runs of a sparse image)
// whose digest on the handset equals that of what would be written; the
// result says which.
flash_result flash_handset(firmware_source& source, int device_handle, progress_handler& handler,
                           const flash_options& options);

// Opens the handset options.handset names (see open_chosen_handset), flashes
// the source onto it and closes it. Throws as flash_handset and
// open_chosen_handset.
flash_result flash_attached_handset(firmware_source& source, progress_handler& handler, const flash_options& options);
