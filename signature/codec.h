// Pieces the signature files share: libsodium's start-up, strict base64, line
// splitting, small bounded file reads, BLAKE2b-512 in pieces and a descriptor
// owner. Internal to the signature library.
#pragma once

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace signature::detail {

// Throws std::runtime_error when libsodium cannot start (no entropy source).
void ensure_sodium();

std::string to_base64(const std::uint8_t* bytes, std::size_t size);
// True when line is standard base64 (padding required) of exactly `size` bytes.
bool from_base64(std::string_view line, std::uint8_t* out, std::size_t size);

// The text's lines without their "\n" or "\r\n"; a final newline ends the last
// line rather than starting an empty one.
std::vector<std::string_view> text_lines(std::string_view text);

// A file that could not be read; `error` is the errno value.
struct read_error : std::runtime_error {
    read_error(const std::string& what, int error) : std::runtime_error(what), error(error) {}
    int error;
};

// Up to max_bytes bytes of the file (fewer when it is shorter). Throws
// read_error "signature: cannot read: <reason> (<path>)".
std::string read_small_file(const std::string& path, std::size_t max_bytes);

using piece_handler = std::function<void(const std::uint8_t* data, std::size_t size)>;
// The whole file, in pieces of at most 64 KiB, in order. Throws read_error.
void for_each_piece(const std::string& path, const piece_handler& handle);

class blake2b_512 {
public:
    static constexpr std::size_t size = 64;
    blake2b_512();
    ~blake2b_512() { sodium_memzero(&state_, sizeof state_); }
    blake2b_512(const blake2b_512&) = delete;
    blake2b_512& operator=(const blake2b_512&) = delete;
    void update(const std::uint8_t* data, std::size_t n);
    void final(std::uint8_t (&out)[size]);

private:
    crypto_generichash_state state_;
};

// An open descriptor, closed when the owner goes.
class unique_fd {
public:
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd();
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// "signature: <what> (<context>)".
std::string error_text(const std::string& what, const std::string& context);

} // namespace signature::detail
