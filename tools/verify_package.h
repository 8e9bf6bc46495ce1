// Verification with a progress bar on stderr, shared by `verify` and `flash`.
#pragma once

#include "fwpkg.h"
#include "package_trust.h"

// True when both digests match; trust.outcome() then tells the signer. Ctrl-C
// during the pass cancels it (false).
bool verify_package(fwpkg& pkg, package_trust& trust);
