// How a flash runs, beyond which package and which handset.
#pragma once

#include "cancel_request.h"
#include "firehose.h"
#include "flash_type.h"

#include <cstdint>
#include <functional>
#include <string>


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
    // Set by another thread or a signal handler to stop the flash (see
    // flash_handset); borrowed, never cleared by the flash.
    cancel_request* cancel = nullptr;
};
