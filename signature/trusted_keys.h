// The public keys a signature must come from: every `*.pub` file in the
// system folder (/etc/brenvik/trusted-keys) and the user's folder
// ($HOME/.config/brenvik/trusted-keys), plus files named for one command.
// A folder that does not exist holds no keys; a key file that cannot be read
// or is not a minisign public key is an error naming the file, never skipped.
#pragma once

#include "keys.h"

#include <string>
#include <vector>

namespace signature {

struct key_locations {
    std::string system_dir;
    std::string user_dir;
};

// The two folders above; the user's follows $HOME.
key_locations default_key_locations();

class trusted_keys {
public:
    // Reads the folders (files in name order, then the extra files as given).
    // Throws format_error for a file that is not a public key, std::runtime_error
    // for a folder or file that exists but cannot be read.
    static trusted_keys load(const key_locations& where, const std::vector<std::string>& extra_files);

    trusted_keys() = default;
    explicit trusted_keys(std::vector<public_key> keys) : keys_(std::move(keys)) {}

    // No key configured: signatures are not checked for a signer.
    bool empty() const { return keys_.empty(); }
    const std::vector<public_key>& keys() const { return keys_; }
    // Every trusted key with this id (ids are random: almost always one or none).
    std::vector<const public_key*> with_id(const key_id& id) const;

private:
    std::vector<public_key> keys_;
};

} // namespace signature
