#include "command.h"
#include "json_output.h"
#include "package_open.h"
#include "verify_package.h"

#include <cstdio>

namespace {

const char* state_name(signature::state s)
{
    switch (s) {
    case signature::state::signed_by_trusted_key: return "signed";
    case signature::state::not_signed: return "not_signed";
    case signature::state::bad_signature: return "bad_signature";
    case signature::state::untrusted_key: return "untrusted_key";
    case signature::state::malformed_signature: return "malformed_signature";
    case signature::state::no_trusted_keys: break;
    }
    return "not_checked";
}

json_out::object optional_text(const std::string& s)
{
    return s.empty() ? json_out::object(nullptr) : json_out::object(s);
}

int run_verify(const parsed_args& args)
{
    // Before the long pass: a broken key file stops the command at once.
    package_trust trust(args.all("--key"));
    fwpkg pkg;
    open_package(pkg, args.positional[0]);
    json_out::start({{"package", args.positional[0]}});
    json_out::emit("phase", {{"phase", "Verifying the package"}});
    // The signature is checked in the same pass as the digests.
    if (!verify_package(pkg, trust)) {
        json_out::failure(args.positional[0] + ": verification failed: " + pkg.verify_failure(), "digests");
        return exit_failed;
    }
    std::printf("%s: OK\n", args.positional[0].c_str());
    json_out::emit("digests", {{"ok", true}});
    const signature::outcome& signer = trust.outcome();
    const std::string text = args.positional[0] + ": " + signer.text();
    json_out::emit("signature", {{"state", state_name(signer.state)},
                                 {"signer", optional_text(signer.signer)},
                                 {"trusted_comment", optional_text(signer.trusted_comment)},
                                 {"file", optional_text(signer.signature_path)},
                                 {"text", signer.text()}});
    if (signer.refused()) {
        json_out::failure(text, "signature");
        return exit_failed;
    }
    std::printf("%s\n", text.c_str());
    return exit_ok;
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
