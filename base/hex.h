// Hexadecimal text <-> bytes.
#pragma once

#include "buffer.h"

#include <cstddef>
#include <string>

// Two digits per byte, each followed by `separator` when it is non-empty, then
// a NUL. `out` must hold count * (2 + strlen(separator)) + 1 characters.
void hex_encode(const void* bytes, std::size_t count, const char* separator, char* out, bool lower_case);
// Upper-case digit pairs, each followed by the separator (at most one character).
std::string buffer_to_hex(const buffer& b, const char* separator);
// Pairs of digits, each optionally followed by one space; a lone trailing digit
// is ignored. Returns the number of bytes, or -1 on a non-hex digit. `out` must
// hold strlen(text) / 2 bytes.
long hex_decode(const char* text, unsigned char* out);
// Throws std::runtime_error("Invalid hex string").
buffer hex_to_buffer(const std::string& text);
