#include "package_trust.h"

#include <stdexcept>

package_trust::package_trust(const std::vector<std::string>& extra_keys, const signature::key_locations& where)
    : keys_(signature::trusted_keys::load(where, extra_keys))
{
}

bool package_trust::verify(fwpkg& package, progress_handler& handler)
{
    signature::verifier signer(keys_, package.path());
    const bool digests_match = package.verify(handler, [&](const std::uint8_t* data, std::size_t size) {
        if (signer.needs_bytes())
            signer.update(data, size);
    });
    // A pass cut short saw only part of the file: nothing is said of its signer.
    if (package.verify_failure().rfind("short read", 0) == 0 || package.verify_failure() == "cancelled")
        return digests_match;
    outcome_ = signer.finish();
    return digests_match;
}

namespace {

std::string refuse_unless_allowed(const std::string& what, bool allow_unsigned)
{
    const std::string why = what + " (trusted keys are configured: only a package signed by one of them is flashed)";
    if (!allow_unsigned)
        throw untrusted_firmware(why);
    return "warning: " + why + "; flashing it anyway (--allow-unsigned)";
}

} // namespace

std::string require_trusted(const signature::outcome& signer, bool allow_unsigned)
{
    return signer.refused() ? refuse_unless_allowed(signer.text(), allow_unsigned) : "";
}

std::string require_trusted_folder(const package_trust& trust, bool allow_unsigned)
{
    return trust.keys_configured() ? refuse_unless_allowed("a firmware folder carries no signature", allow_unsigned)
                                   : "";
}
