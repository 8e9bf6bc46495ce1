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
    enum class what { written, verified, skipped };
    what outcome = what::written;
    std::string label;
    std::uint32_t lun = 0;
    std::string filename;    // the image written to it
    std::uint64_t bytes = 0; // bytes sent to the handset for it (0 when skipped)
    std::string reason;      // why it was skipped
};

// Which of several attached handsets an operation means; both empty: the only
// one attached.
struct handset_choice {
    std::string serial;  // its USB serial number string
    std::string port;    // its port path, "1-2.4" (bus 1, port 4 of the hub on port 2)
};

struct flash_options {
    // The programmer is configured to skip every write; everything else runs the same.
    bool no_write = false;
    // base_only, keep_data or full; any other value writes everything.
    std::uint32_t type = full;
    // Payload size proposed to the programmer, one-sector writes.
    firehose_options link;
    // Called once the package's own checks have passed and before the handset
    // hears anything; an exception from it refuses the flash with nothing
    // written. brv verifies the digests on another thread meanwhile and joins here.
    std::function<void()> before_handset;
    // flash_attached_handset opens this one.
    handset_choice handset;
    // Each partition is read back right after it is written, and a SHA-256 of
    // what came back is compared with one of what was sent.
    bool read_back = false;
    // When set, every partition the flash writes is first read from the
    // handset into this directory as <label>.img.
    std::string backup_dir;
    // Set by another thread or a signal handler to skip the remaining OS
    // partitions; borrowed, cleared when the flash starts.
    cancel_request* cancel = nullptr;
    // Observers, called on the flash's thread: each phase as it begins (the
    // names a failure's message starts with), each partition once it has
    // been written (and read back), or skipped.
    std::function<void(const std::string& phase)> on_phase;
    std::function<void(const partition_outcome&)> on_partition;
};
