// brv flash --all: one package onto every attached handset at once.
#pragma once

#include "flash.h"
#include "flash_options.h"

#include <string>
#include <vector>

// Verifies the package once (digests, and the signer against the trusted keys
// plus extra_keys: see package_trust), then flashes every attached handset on a thread
// of its own (each with its own reader of the package file), prints progress
// lines prefixed by the handset's port and a table of the outcomes. A handset
// that fails or leaves the bus does not stop the others. Returns the exit
// status: 0 only when every handset succeeded.
int flash_every_handset(const std::string& path, const flash_options& options,
                        const std::vector<std::string>& extra_keys, bool allow_unsigned);
