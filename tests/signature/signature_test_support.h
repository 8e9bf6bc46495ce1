// What the signature tests share: key pairs and signatures made by the real
// minisign (an independent implementation of the format), a terminal that
// types passwords, and package-like files.
#pragma once

#include "tool_env.h"

#include <cstddef>
#include <string>
#include <vector>

namespace sigtest {

namespace fs = std::filesystem;

struct key_files {
    fs::path pub;
    fs::path key;
};

// `minisign -G -W`: a key pair without a password, dir/NAME.pub and dir/NAME.key.
key_files minisign_keys(const fs::path& dir, const std::string& name);
// `minisign -G` with the password typed on a terminal (scrypt at minisign's
// cost: several seconds).
key_files minisign_encrypted_keys(const fs::path& dir, const std::string& name, const std::string& password);

// `minisign -S` (legacy: -l) of file into file.minisig with that trusted
// comment; `password` is typed when the key asks for one.
void minisign_sign(const fs::path& file, const key_files& keys, bool legacy, const std::string& trusted_comment,
                   const std::string& password = "");
// `minisign -V`: true when minisign accepts the signature (by default
// file.minisig) as pub's.
bool minisign_accepts(const fs::path& file, const fs::path& pub, const fs::path& sig = {});

// Runs argv[0] (a path) on a terminal of its own, typing password at each prompt.
tooltest::run_result run_with_password(const std::vector<std::string>& argv, const std::string& password);

// size pseudo-random bytes (the same for the same size).
void write_package(const fs::path& path, std::size_t size);
// The file with the byte at offset XORed with 0x01.
void flip_byte(const fs::path& path, std::size_t offset);
// The key id minisign wrote into a public key file's comment.
std::string key_id_of(const fs::path& pub);

} // namespace sigtest
