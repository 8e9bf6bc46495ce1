// The handsets of a `brv-vhandset` session and the control channel that
// plugs them in and out while the program under test runs.
//
// Commands, one per line, written to the FIFO DIR/control:
//   attach        plug in the lowest-numbered handset not on the bus
//   detach [N]    unplug handset N (default: the one plugged in last)
//   detach-all    unplug every handset
// Each command appends one line to DIR/control.log: "ok ..." or "error: ...".
#pragma once

#include "session_config.h"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vhandset {

class handset;

class session {
public:
    // Throws what read_session_config() throws.
    explicit session(const std::filesystem::path& state_dir);

    // Attaches the configured number of handsets.
    void start();
    // Runs one command line; returns the reply line (without line break).
    std::string execute(const std::string& line);

    const std::filesystem::path& state_dir() const { return state_dir_; }

private:
    std::string attach_next();
    std::string detach_number(unsigned number);

    std::filesystem::path state_dir_;
    session_config config_;
    handset_options options_;
    std::mutex mutex_;
    std::map<unsigned, std::shared_ptr<handset>> handsets_;  // by number
    std::vector<unsigned> attach_order_;
};

// Serves DIR/control on a thread of its own for the rest of the process.
// Creates the FIFO when it is missing. Throws std::runtime_error on failure.
void serve_control_channel(std::shared_ptr<session> s);

// At the first call: when BRV_VHANDSET_STATE is set, reads its session, attaches
// its handsets and serves its control channel. Returns false (after one message
// on stderr) when the session cannot be started; later calls return the same.
bool start_session_from_environment();

} // namespace vhandset
