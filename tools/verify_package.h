// Verification with a progress bar on stderr, shared by `verify` and `flash`.
#pragma once

#include "fwpkg.h"

// True when both digests match. Ctrl-C during the pass cancels it (false).
bool verify_package(fwpkg& pkg);
