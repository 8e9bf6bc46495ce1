// Android A/B slots as the GPT keeps them: partitions come in pairs NAME_a /
// NAME_b, and byte 6 of each entry's attributes (bits 48 to 55) holds the
// slot's state: bits 48-49 priority, bit 50 active, bits 51-53 retry count,
// bit 54 boot successful, bit 55 unbootable.
#pragma once

#include <cstdint>
#include <string>

constexpr std::uint64_t slot_priority_mask = std::uint64_t{3} << 48;
constexpr std::uint64_t slot_active_bit = std::uint64_t{1} << 50;
constexpr std::uint64_t slot_retry_mask = std::uint64_t{7} << 51;
constexpr std::uint64_t slot_successful_bit = std::uint64_t{1} << 54;
constexpr std::uint64_t slot_unbootable_bit = std::uint64_t{1} << 55;

// 'a' or 'b' for a label NAME_a or NAME_b (NAME not empty); 0 otherwise.
char slot_of(const std::string& label);
// The label without its "_a" / "_b"; the label itself when it has none.
std::string slot_pair_name(const std::string& label);

bool slot_is_active(std::uint64_t attributes);

// The attributes of a partition of the slot being made active: active, highest
// priority (3), full retry count (7), neither successful nor unbootable, as a
// freshly chosen slot is before its first boot. Bits outside 48-55 stay.
std::uint64_t activated_slot(std::uint64_t attributes);
// The attributes of a partition of the other slot: no longer active, and its
// priority lowered to at most 2, below the active slot's, so a boot loader
// falls back to it only when the active slot fails; its retry, successful and
// unbootable bits stay.
std::uint64_t deactivated_slot(std::uint64_t attributes);
