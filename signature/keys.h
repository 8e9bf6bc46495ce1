// minisign's key files: the public key ("Ed", key id, 32-byte Ed25519 key,
// base64 on one line under an untrusted comment) and the secret key ("Ed",
// the KDF "Sc" or none, checksum "B2", scrypt salt and limits, then key id,
// 64-byte Ed25519 secret key and BLAKE2b-256 checksum, XORed with the scrypt
// stream when encrypted). Parsers throw signature::format_error, whose text is
// "signature: not a minisign ...: <why> (<context>)"; a wrong password throws
// signature::wrong_password. Nothing here touches the terminal: a password is
// asked through the caller's function.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace signature {

// A key, signature or trusted-key file that is not in minisign's format.
struct format_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The password did not open an encrypted secret key (its checksum failed).
struct wrong_password : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Eight random bytes naming a key pair. Shown as minisign shows it: the bytes
// read as a little-endian 64-bit number, in upper-case hexadecimal without
// leading zeros.
struct key_id {
    std::array<std::uint8_t, 8> bytes{};
    std::string text() const;
    bool operator==(const key_id&) const = default;
};

struct public_key {
    key_id id;
    std::array<std::uint8_t, 32> key{};
    // The file's untrusted comment line (after "untrusted comment: "): a label
    // the file's owner chose, never evidence of anything.
    std::string comment;
};

// Public key file text: an optional "untrusted comment:" line, then the base64
// line; blank lines are ignored, anything else is refused. `context` names the
// source (a path) in error texts.
public_key parse_public_key(std::string_view text, const std::string& context);
// Reads at most 4 KiB of the file at path; throws std::runtime_error naming the
// path when it cannot be read, format_error when it is not a public key.
public_key read_public_key(const std::string& path);
std::string format_public_key(const public_key& key);

// Asked once, only for an encrypted key. The library wipes the returned text
// after use (a best effort: copies the caller made are the caller's).
using password_source = std::function<std::string()>;

// scrypt (libsodium's crypto_pwhash_scryptsalsa208sha256) cost of an
// encrypted secret key. The defaults are minisign's: libsodium's "sensitive"
// limits, 1 GiB and a few seconds per derivation.
struct key_encryption {
    std::string password;
    std::uint64_t opslimit = 33554432;
    std::uint64_t memlimit = 1073741824;
};

// Keys that ask scrypt for more memory than this are refused rather than
// allowed to exhaust the machine.
constexpr std::uint64_t max_key_memlimit = std::uint64_t{4} << 30;

// An Ed25519 secret key (libsodium's 64 bytes: seed, then public key). Wiped
// when destroyed; moves leave the source wiped; never copied.
class secret_key {
public:
    secret_key(const key_id& id, const std::array<std::uint8_t, 64>& key);
    secret_key(secret_key&& other) noexcept;
    secret_key& operator=(secret_key&&) = delete;
    secret_key(const secret_key&) = delete;
    secret_key& operator=(const secret_key&) = delete;
    ~secret_key();

    const key_id& id() const { return id_; }
    const std::array<std::uint8_t, 64>& key() const { return key_; }
    public_key public_part() const;

private:
    key_id id_;
    std::array<std::uint8_t, 64> key_{};
};

// Secret key file text. Checks the checksum (an unencrypted key's may be zero:
// `minisign -G -W` writes it so), and that the public half belongs to the seed. A damaged key throws format_error; a password that does not
// open it, wrong_password.
secret_key parse_secret_key(std::string_view text, const std::string& context, const password_source& ask_password);
secret_key read_secret_key(const std::string& path, const password_source& ask_password);
// Without encryption the key is stored in the clear, as `minisign -G -W` does.
std::string format_secret_key(const secret_key& key, const std::optional<key_encryption>& encryption);

} // namespace signature
