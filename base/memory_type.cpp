#include "memory_type.h"

namespace {

constexpr std::uint32_t ufs_luns = 6;

} // namespace

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

std::uint32_t memory_lun_count(std::uint32_t type)
{
    return type == memory_ufs ? ufs_luns : 1;
}

bool memory_has_lun(std::uint32_t type, std::uint32_t lun, std::string* why)
{
    const std::uint32_t count = memory_lun_count(type);
    if (lun < count)
        return true;
    const std::string storage = type == memory_ufs ? "UFS" : type == memory_emmc ? "eMMC" : "Its";
    *why = storage + " storage has " + (count == 1 ? "only LUN 0" : "LUNs 0 to " + std::to_string(count - 1));
    return false;
}
