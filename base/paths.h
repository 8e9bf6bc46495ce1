// Home directory, tilde expansion and directory helpers. Paths are limited to
// 1023 characters; anything longer is refused with ENAMETOOLONG, never cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t path_max_bytes = 1024;  // including the terminating NUL

// $HOME, or "/" when it is not set.
std::string home_dir();

// Replaces a leading "~" or "~user" with that user's home directory from the
// password database. Returns false (errno ENAMETOOLONG) when the input, the user
// name or the result does not fit path_max_bytes; `out` then holds "".
bool expand_path(const char* input, char out[path_max_bytes]);

// Creates the directory (mode 0777 before umask). True on success, and when it
// already exists and fail_if_exists is false. False with errno set otherwise.
bool make_dir(const std::string& path, bool fail_if_exists);
bool remove_dir(const std::string& path);
// The size of the file at path (not expanded); false with errno set on failure.
bool stat_size(const std::string& path, std::uint64_t& size);
