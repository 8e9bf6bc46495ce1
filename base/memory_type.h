// The storage kinds a handset can have, as package metadata, handset models and
// the programmer's configure name them.
#pragma once

#include <cstdint>
#include <string>

enum memory_type : std::uint32_t {
    memory_unknown = 0,
    memory_emmc = 1,
    memory_ufs = 2,
};

// "emmc" for 1, "ufs" for 2, "unknown" otherwise.
const char* memory_type_name(std::uint32_t type);
// 1 for exactly "emmc", 2 for exactly "ufs", else 0 (case-sensitive).
std::uint32_t parse_memory_type(const std::string& name);
