// One input's use of the tests' scripted peer (the stand-in for the USB pipe):
// the device's transfers are queued when it starts, and everything the host
// wrote is released when it ends, so no input leaves allocations behind for
// the next one (which libFuzzer would take for a leak).
#pragma once

#include "fuzz_support.h"
#include "scripted_peer.h"

#include <vector>

namespace fuzz {

class scripted_session {
public:
    explicit scripted_session(const std::vector<transfer>& transfers)
    {
        scripted::peer& peer = scripted::peer::current();
        peer.reset();
        for (const transfer& t : transfers) {
            if (t)
                peer.deliver(*t);
            else
                peer.deliver_silence();
        }
    }
    scripted_session(const scripted_session&) = delete;
    scripted_session& operator=(const scripted_session&) = delete;
    ~scripted_session() { scripted::peer::current().reset(); }
};

} // namespace fuzz
