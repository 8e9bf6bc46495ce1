#include "command.h"
#include "package_open.h"
#include "progress_bar.h"
#include "verify_package.h"

#include <cstdio>

namespace {

int run_verify(const parsed_args& args)
{
    fwpkg pkg;
    open_package(pkg, args.positional[0]);
    if (!verify_package(pkg)) {
        std::fprintf(stderr, "%s: verification failed: %s\n", args.positional[0].c_str(), pkg.verify_failure().c_str());
        return exit_failed;
    }
    std::printf("%s: OK\n", args.positional[0].c_str());
    return exit_ok;
}

} // namespace

extern const command verify_command = {
    "verify",
    "check a package's digests",
    "Usage: brv verify FILE.brp\n"
    "\n"
    "Reads the whole package and compares its MD5 and SHA-256 digests with the\n"
    "ones in its header. Exit status 0 only when both match and the payload is\n"
    "a zip archive; otherwise stderr says why (MD5 mismatch, SHA-256 mismatch,\n"
    "a short read and its offset, or a payload that is not a zip archive).\n",
    {},
    1,
    1,
    run_verify,
};
