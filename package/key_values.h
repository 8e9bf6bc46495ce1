// The package's key=value text ("meta/params.txt"): one entry per line, every
// line ended by a line feed. A line starting with a zero byte or "#" is a
// comment; the key runs to the first "=", the value from there to the line feed,
// byte for byte (no trimming: a CR before the LF stays in the value). A line
// without "=" is a key with an empty value; a later line replaces an earlier
// value of the same key.
#pragma once

#include <cstdint>
#include <map>
#include <string>

using key_value_map = std::map<std::string, std::string>;

// Throws std::runtime_error "Unterminated line" when the last line has no line
// feed, "Invalid line" for a line starting with "=". Empty text gives an empty map.
key_value_map parse_key_values(const char* text, std::uint64_t length);
key_value_map parse_key_values(const std::string& text);

// One line "key=value\n" per entry in map order. A line longer than
// key_value_line_max characters (line feed included) is cut, but always keeps
// its line feed, so the result parses back line for line.
constexpr std::size_t key_value_line_max = 255;
std::string dump_key_values(const key_value_map& map);
