// Checking a package's detached signature (PACKAGE.minisig) against the
// trusted keys, in one pass over the package's bytes that the caller feeds in
// pieces: the same pass that computes its digests can feed this, so the check
// costs about one BLAKE2b-512 (faster than SHA-512) over the file and a few
// hundred bytes of memory.
//
// The legacy form (minisign -l, algorithm "Ed") signs the whole file, which
// Ed25519 must see at once: for it the verifier maps the package file
// (read-only, not copied to the heap), compares each fed piece with the
// mapping, and verifies the mapping at finish(). A package that changes while
// it is checked is then refused.
//
// Both signatures in the file are checked: the one over the package, and the
// one over the trusted comment, so a trusted comment that lies is refused. The
// untrusted comment is never read as fact and never shown.
#pragma once

#include "minisig.h"
#include "trusted_keys.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace signature {

enum class state {
    signed_by_trusted_key,  // both signatures hold, by a trusted key
    not_signed,             // no PACKAGE.minisig
    bad_signature,          // a trusted key's signature that does not hold
    untrusted_key,          // well formed, by a key not trusted here
    malformed_signature,    // PACKAGE.minisig unreadable or not minisign's format
    no_trusted_keys,        // nothing to check against; the file was not read
};

struct outcome {
    signature::state state = state::no_trusted_keys;
    std::string signer;           // key id text, when the signature file named one
    std::string trusted_comment;  // signed_by_trusted_key only; control characters shown as '?', tabs as spaces
    std::string signature_path;
    std::string reason;           // bad_signature and malformed_signature: what failed

    // For the user:
    //   "signed by KEYID (trusted comment)"
    //   "not signed"
    //   "not checked for a signer (no trusted key configured)"
    //   "signature: signed by an untrusted key KEYID (PATH)"
    //   "signature: <reason> (PATH)" for a bad or malformed signature
    std::string text() const;
    // A signature is there but does not hold (bad, untrusted key, malformed).
    bool failed() const;
    // What a flash refuses: trusted keys are configured and the package is not
    // signed by one of them.
    bool refused() const { return state != state::signed_by_trusted_key && state != state::no_trusted_keys; }
};

class verifier {
public:
    // Reads signature_path (by default package_path + ".minisig") now, and
    // decides at once what needs no package bytes (no trusted keys, not signed,
    // malformed, untrusted key). Throws std::runtime_error only when a legacy
    // signature's package cannot be mapped.
    verifier(const trusted_keys& keys, const std::string& package_path, const std::string& signature_path = "");
    ~verifier();
    verifier(const verifier&) = delete;
    verifier& operator=(const verifier&) = delete;

    // Every byte of the package file from offset 0, in order, in pieces of any
    // size. Cheap to call when the outcome is already decided.
    void update(const std::uint8_t* data, std::size_t size);
    // False when the outcome is already decided and the bytes would be ignored.
    bool needs_bytes() const { return pending_ != nullptr; }
    // Once, after the last piece.
    outcome finish();

private:
    struct pending;
    outcome decided_;
    std::unique_ptr<pending> pending_;
};

// Reads the package file in bounded pieces and checks it. Throws
// std::runtime_error when the package cannot be read.
outcome check_file(const trusted_keys& keys, const std::string& package_path);

} // namespace signature
