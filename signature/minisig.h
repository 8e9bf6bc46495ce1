// minisign's detached signature file (`FILE.minisig`), four lines:
//   untrusted comment: <anything; never evidence>
//   base64("Ed" or "ED", key id, 64-byte Ed25519 signature)
//   trusted comment: <text>
//   base64(64-byte Ed25519 signature over the signature bytes + the text)
// "ED" signs BLAKE2b-512 of the file (prehashed, minisign's default and what
// sign_file writes); "Ed" signs the file itself (minisign -l, the legacy form).
#pragma once

#include "keys.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace signature {

enum class algorithm { legacy, prehashed };

struct minisig {
    algorithm form = algorithm::prehashed;
    key_id signer;
    std::array<std::uint8_t, 64> file_signature{};
    std::string untrusted_comment;
    std::string trusted_comment;
    std::array<std::uint8_t, 64> comment_signature{};
};

// A .minisig larger than this is not one.
constexpr std::size_t max_minisig_bytes = 16384;

// Throws format_error "signature: not a minisign signature: <why> (<context>)".
// Only the four lines are accepted (blank lines after them are ignored).
minisig parse_minisig(std::string_view text, const std::string& context);
// Throws std::invalid_argument when a comment holds a line break.
std::string format_minisig(const minisig& sig);

// minisign's trusted comment: "timestamp:<seconds>\tfile:<name>\thashed". Control
// characters in the name become '?', so the comment stays one line.
std::string default_trusted_comment(const std::string& file_name, std::time_t when);

// Signs the whole file at path in the prehashed form, reading it once in
// bounded pieces. Throws std::runtime_error naming the path when it cannot be
// read, std::invalid_argument when trusted_comment holds a line break.
minisig sign_file(const std::string& path, const secret_key& key, const std::string& trusted_comment);

// Writes the text to path through a new temporary file in the same folder,
// then moves it into place without following links. Unless replace is set, an
// existing path (a file, a dangling link, anything) is left alone and the call
// throws std::runtime_error "signature: ... already exists (<path>)"; with
// replace, what was at path (a link itself, not its target) is replaced.
void write_new_file(const std::string& path, const std::string& text, bool replace);

} // namespace signature
