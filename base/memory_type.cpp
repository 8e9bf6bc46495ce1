#include "memory_type.h"

const char* memory_type_name(std::uint32_t type)
{
    switch (type) {
    case memory_emmc:
        return "emmc";
    case memory_ufs:
        return "ufs";
    default:
        return "unknown";
    }
}

std::uint32_t parse_memory_type(const std::string& name)
{
    if (name == "emmc")
        return memory_emmc;
    if (name == "ufs")
        return memory_ufs;
    return memory_unknown;
}
