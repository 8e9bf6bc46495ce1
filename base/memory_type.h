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
// The LUNs storage of that kind has: 0 to 5 on UFS, only 0 otherwise.
std::uint32_t memory_lun_count(std::uint32_t type);
// Whether the storage has that LUN, and if not, why: "UFS storage has LUNs 0
// to 5" / "eMMC storage has only LUN 0".
bool memory_has_lun(std::uint32_t type, std::uint32_t lun, std::string* why);
