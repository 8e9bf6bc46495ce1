// How a flash runs, beyond which package and which handset.
#pragma once

#include "cancel_request.h"
#include "firehose.h"
#include "flash_type.h"

#include <cstdint>
#include <functional>
#include <string>


// What became of one partition of the plan, as a flash reports it.
struct partition_outcome {
    enum class what { written, verified, skipped, erased };
    what outcome = what::written;
    std::string label;
    std::uint32_t lun = 0;
    std::string filename;    // the image written to it
    std::uint64_t bytes = 0; // bytes sent to the handset for it (0 when skipped)
    std::string reason;      // why it was skipped: "cancelled", or "identical" (the handset held it already)
};

// Which of several attached handsets an operation means; both empty: the only
// one attached.
struct handset_choice {
    std::string serial;  // its USB serial number string
    std::string port;    // its port path, "1-2.4" (bus 1, port 4 of the hub on port 2)
};

// How long the boot ROM needs to start an uploaded programmer: 3000 ms, or the
// decimal number in BRV_PROGRAMMER_WAIT_MS (tests use 0).
std::uint32_t programmer_wait_ms();

// The longest a programmer may take to start when the host waits for its answer.
constexpr std::uint32_t programmer_answer_bound_ms = 10000;

// How the host lets an uploaded programmer start before it speaks to it: a
// fixed pause (the window's way), or (until_answer) pings that end as soon as
// the programmer answers, for up to programmer_answer_bound_ms.
struct programmer_wait {
    bool until_answer = false;
    std::uint32_t pause_ms = programmer_wait_ms();
};

struct flash_options {
    // The programmer is configured to skip every write; everything else runs the same.
    bool no_write = false;
    // base_only, keep_data or full; any other value writes everything.
    std::uint32_t type = full;
    // Payload size proposed to the programmer, one-sector writes.
    firehose_options link;
    // After the programmer upload.
    programmer_wait wait;
    // Called before the handset hears anything; an exception from it refuses
    // the flash with nothing sent. For what must hold before the package's
    // programmer may run at all: its signer, when trusted keys are configured.
    std::function<void()> before_handset;
    // Called once the package's own checks have passed, on the thread that
    // made them while the programmer is uploaded and starts, and before
    // anything is written; an exception from it refuses the flash with nothing
    // written. brv verifies the digests on another thread meanwhile and joins here.
    std::function<void()> before_first_write;
    // flash_attached_handset opens this one.
    handset_choice handset;
    // Each partition is checked right after it is written: the programmer's
    // SHA-256 of it (or, when it offers none, a SHA-256 of it read back) is
    // compared with one of what was sent.
    bool read_back = false;
    // Partitions (or runs of a sparse image) the handset holds already, by the
    // programmer's SHA-256 of them, are not written. Needs getsha256digest.
    bool skip_identical = false;
    // When set, every partition the flash writes is first read from the
    // handset into this directory as <label>.img.
    std::string backup_dir;
    // Set by another thread or a signal handler to stop the flash (see
    // flash_handset); borrowed, never cleared by the flash.
    cancel_request* cancel = nullptr;
    // Observers, called on the flash's thread: each phase as it begins (the
    // names a failure's message starts with), each partition once it has
    // been written (and read back), or skipped.
    std::function<void(const std::string& phase)> on_phase;
    std::function<void(const partition_outcome&)> on_partition;
};
