// The SHA-256 compression function behind sha256_update, in its two forms.
// Each processes `blocks` consecutive 64-byte blocks into the eight chaining words.
#pragma once

#include <cstddef>
#include <cstdint>

void sha256_blocks_portable(std::uint32_t h[8], const std::uint8_t* data, std::size_t blocks);

// Defined only where the compiler can target the SHA extensions (x86); callers
// must check sha256_shani_supported() first.
bool sha256_shani_supported();
void sha256_blocks_shani(std::uint32_t h[8], const std::uint8_t* data, std::size_t blocks);

extern const std::uint32_t sha256_round_constants[64];
