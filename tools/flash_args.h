// The options that say how a handset is flashed, shared by `brv flash` and
// `brv station`: --type, --no-write, --verify, --skip-identical, --max-payload,
// --sector-writes, --programmer-wait.
#pragma once

#include "flash_options.h"
#include "json_output.h"
#include "options.h"

#include <vector>

// A function, not a global: command tables are initialised from it before main().
std::vector<option_def> flash_how_options();

// The flash options the command line sets (no handset choice, no backup).
// Throws usage_error for a bad value or a contradiction.
flash_options flash_options_from(const parsed_args& args);

// The options as a JSON object, for a "start" event: type, no_write, verify,
// max_payload (null: the default), sector_writes, backup (null: none).
json_out::object flash_options_json(const flash_options& options);
