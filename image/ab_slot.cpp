#include "ab_slot.h"

#include <algorithm>

namespace {

constexpr std::uint64_t highest_priority = std::uint64_t{3} << 48;
constexpr std::uint64_t fallback_priority = std::uint64_t{2} << 48;
constexpr std::uint64_t full_retries = std::uint64_t{7} << 51;
constexpr std::size_t suffix_chars = 2;

} // namespace

char slot_of(const std::string& label)
{
    if (label.size() <= suffix_chars || label[label.size() - 2] != '_')
        return 0;
    const char c = label.back();
    return c == 'a' || c == 'b' ? c : 0;
}

std::string slot_pair_name(const std::string& label)
{
    return slot_of(label) != 0 ? label.substr(0, label.size() - suffix_chars) : label;
}

bool slot_is_active(std::uint64_t attributes)
{
    return (attributes & slot_active_bit) != 0;
}

std::uint64_t activated_slot(std::uint64_t attributes)
{
    attributes &= ~(slot_priority_mask | slot_retry_mask | slot_successful_bit | slot_unbootable_bit);
    return attributes | slot_active_bit | highest_priority | full_retries;
}

std::uint64_t deactivated_slot(std::uint64_t attributes)
{
    const std::uint64_t priority = std::min(attributes & slot_priority_mask, fallback_priority);
    return (attributes & ~(slot_active_bit | slot_priority_mask)) | priority;
}
