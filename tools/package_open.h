// Opening a package for a subcommand: a failure to open becomes an exception
// with the reason the user needs, and a package whose payload is not an
// archive is refused instead of half-opened.
#pragma once

#include "fwpkg.h"

#include <string>

// Throws std::runtime_error naming the path on failure.
void open_package(fwpkg& pkg, const std::string& path);

// Lower-case hexadecimal text of n bytes.
std::string hex_text(const std::uint8_t* bytes, std::size_t n);
