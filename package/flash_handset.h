// The routine both faces of Brenvik run for "Flash": open the one handset
// attached in emergency-download mode, flash the package onto it, close it.
#pragma once

#include "flash_options.h"
#include "fwpkg.h"
#include "progress.h"

// Returns when the flash reached its end. Every failure throws
// std::runtime_error with the text to show the user; a handset that cannot be
// opened reads "Cannot open device: " and why: none attached, several
// attached, or no permission (with where the udev rule is).
void flash_attached_handset(fwpkg& package, progress_handler& handler, const flash_options& options);

// The user's text for a failed open of the handset, from its errno.
std::string open_failure_text(int error);
