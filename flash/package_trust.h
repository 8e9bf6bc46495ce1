// Whether a package comes from a signer this machine trusts. The signature
// (PACKAGE.minisig) is checked in the same pass over the file that checks the
// digests. With at least one trusted key configured, a flash refuses a package
// that is not signed by one of them; with none, packages are not checked for a
// signer, as before signatures existed.
#pragma once

#include "fwpkg.h"
#include "progress.h"
#include "trusted_keys.h"
#include "verifier.h"

#include <stdexcept>
#include <string>
#include <vector>

class package_trust {
public:
    // The keys of the default folders (/etc/brenvik/trusted-keys and
    // ~/.config/brenvik/trusted-keys) plus extra_keys. Throws naming the file
    // when a key file is broken: a trust setting that cannot be read must not
    // pass for "no keys".
    explicit package_trust(const std::vector<std::string>& extra_keys = {},
                           const signature::key_locations& where = signature::default_key_locations());

    bool keys_configured() const { return !keys_.empty(); }

    // fwpkg::verify, with the signature checked on the same bytes. Returns what
    // verify returns; outcome() then tells the signer. Throws like
    // signature::verifier for a legacy signature whose package cannot be mapped.
    bool verify(fwpkg& package, progress_handler& handler);
    const signature::outcome& outcome() const { return outcome_; }

private:
    signature::trusted_keys keys_;
    signature::outcome outcome_;
};

// A package (or folder) refused for its signer.
class untrusted_firmware : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws untrusted_firmware "<outcome> (trusted keys are configured: only a
// package signed by one of them is flashed)" when the outcome refuses the
// package; for a caller that allowed unsigned packages, returns the warning to
// show instead ("" when there is nothing to warn of).
std::string require_trusted(const signature::outcome& signer, bool allow_unsigned);

// A maker's folder carries no signature: with trusted keys configured it is
// refused like an unsigned package, "a firmware folder carries no signature
// (trusted keys are configured: ...)", or let through with the warning
// returned when the caller allowed unsigned firmware.
std::string require_trusted_folder(const package_trust& trust, bool allow_unsigned);
