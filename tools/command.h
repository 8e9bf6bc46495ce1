// The shape every `brv` subcommand shares: its name, help text, the options it
// accepts and how many positional arguments it takes. main() parses the command
// line against this description, so a subcommand only sees well-formed input.
#pragma once

#include "options.h"

#include <cstddef>
#include <vector>

// Exit statuses of `brv`.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

struct command {
    const char* name;
    const char* summary;  // one line for `brv --help`
    const char* usage;    // full text for `brv NAME --help`
    std::vector<option_def> options;
    std::size_t min_positional;
    std::size_t max_positional;
    int (*run)(const parsed_args& args);
    // Added to "choose one with --serial or --port" when several handsets
    // are attached and none was chosen.
    const char* several_handsets_hint = "";
};

extern const command pack_command;
extern const command info_command;
extern const command verify_command;
extern const command flash_command;
extern const command devices_command;
extern const command partitions_command;
extern const command read_command;
extern const command sign_command;
extern const command write_command;
extern const command erase_command;
extern const command slot_command;
extern const command storage_command;
extern const command station_command;
