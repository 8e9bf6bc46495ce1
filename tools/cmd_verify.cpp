#include "command.h"
#include "package_open.h"
#include "progress_bar.h"
#include "verify_package.h"

#include <cstdio>

namespace {

int run_verify(const parsed_args& args)
{
    // Before the long pass: a broken key file stops the command at once.
    package_trust trust(args.all("--key"));
    fwpkg pkg;
    open_package(pkg, args.positional[0]);
    if (!verify_package(pkg, trust)) {
        std::fprintf(stderr, "%s: verification failed: %s\n", args.positional[0].c_str(), pkg.verify_failure().c_str());
        return exit_failed;
    }
    std::printf("%s: OK\n", args.positional[0].c_str());
    const signature::outcome& signer = trust.outcome();
    std::fprintf(signer.refused() ? stderr : stdout, "%s: %s\n", args.positional[0].c_str(), signer.text().c_str());
    return signer.refused() ? exit_failed : exit_ok;
}

} // namespace

extern const command verify_command = {
    "verify",
    "check a package's digests and signature",
    "Usage: brv verify FILE.brp [--key PUB]...\n"
    "\n"
    "Reads the whole package and compares its MD5 and SHA-256 digests with the\n"
    "ones in its header. Exit status 0 only when both match and the payload is\n"
    "a zip archive; otherwise stderr says why (MD5 mismatch, SHA-256 mismatch,\n"
    "a short read and its offset, or a payload that is not a zip archive).\n"
    "\n"
    "Then checks the signature in FILE.brp.minisig against the trusted keys:\n"
    "the *.pub files in /etc/brenvik/trusted-keys and\n"
    "~/.config/brenvik/trusted-keys, and each --key file. It reports \"signed by\n"
    "KEY-ID (trusted comment)\", or, with exit status 1, a package that is not\n"
    "signed, a signature by an untrusted key, or one that does not hold. With\n"
    "no trusted key configured the package is not checked for a signer.\n"
    "\n"
    "  --key PUB  also trust this minisign public key (may be repeated)\n",
    {{"--key", true, true}},
    1,
    1,
    run_verify,
};
