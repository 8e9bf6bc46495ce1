// The state directory of a `brv-vhandset` session: the file the launcher writes
// and the preloaded library reads, and where each handset keeps its state.
#pragma once

#include "handset_options.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace vhandset {

// Environment variable naming the state directory of a session.
inline constexpr const char* state_env_var = "BRV_VHANDSET_STATE";

struct session_config {
    unsigned handsets = 1;  // handsets attached when the program starts
    // Handset options as name/value pairs, in command-line order (some repeat).
    std::vector<std::pair<std::string, std::string>> options;

    // The options applied through parse_option(); throws std::invalid_argument.
    handset_options handset() const;
};

// The launcher's --handsets value: 1 to 100. Throws std::invalid_argument.
unsigned parse_handset_count(const std::string& text);

std::filesystem::path config_path(const std::filesystem::path& state_dir);    // DIR/vhandset.conf
std::filesystem::path control_path(const std::filesystem::path& state_dir);   // DIR/control (a FIFO)
std::filesystem::path control_log_path(const std::filesystem::path& state_dir); // DIR/control.log

// Creates the control FIFO (replacing anything else of that name) unless it
// exists. Throws std::runtime_error with the system's reason.
void make_control_fifo(const std::filesystem::path& state_dir);

// Handset 1 lives in the state directory itself, handset N (N > 1) in DIR/handsetN.
std::filesystem::path handset_dir(const std::filesystem::path& state_dir, unsigned number);

// One `name=value` line per setting. Throws std::runtime_error when the file
// cannot be written, std::invalid_argument for a value holding a line break.
void write_session_config(const std::filesystem::path& state_dir, const session_config& cfg);

// Reads what write_session_config wrote. Throws std::runtime_error when the file
// cannot be read or a line is malformed, std::invalid_argument for bad values.
session_config read_session_config(const std::filesystem::path& state_dir);

} // namespace vhandset
