// How a subcommand that talks to a handset lets the user name one of several:
// --serial S or --port BUS-PORTS, and the message that lists them when several
// are attached and none was named.
#pragma once

#include "attached_handset.h"
#include "flash_options.h"
#include "options.h"

#include <string>

// --serial S and --port BUS-PORTS.
extern const option_def serial_option;
extern const option_def port_option;

// --programmer-wait MS|auto: a fixed pause after the programmer upload, or
// (auto, the default) a wait that ends as soon as the programmer answers.
extern const option_def programmer_wait_option;
programmer_wait programmer_wait_from(const parsed_args& args);

// The choice the command line makes (both empty: the only handset attached).
handset_choice handset_choice_from(const parsed_args& args);

// "Cannot open device: N handsets in emergency-download mode are attached;
// choose one with --serial or --port<extra>:" and one line per handset.
std::string several_handsets_text(const several_handsets& e, const std::string& extra = "");
