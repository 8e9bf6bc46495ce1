// SHA-256 (FIPS 180-4), incremental. Uses the CPU's SHA extensions when it has
// them (chosen at run time), the portable code otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

struct sha256_ctx {
    std::uint64_t count;  // bytes
    std::uint8_t block[64];
    std::uint32_t h[8];
};

void sha256_init(sha256_ctx* ctx);
void sha256_update(sha256_ctx* ctx, const void* data, std::int32_t length);
void sha256_final(sha256_ctx* ctx, std::uint8_t out[32]);

// True when this CPU has the SHA extensions the hardware path needs.
bool sha256_hardware_available();
// Chooses the code behind every later sha256_update: the CPU's SHA extensions
// when `enable` is true and the CPU has them, the portable code otherwise.
// Returns true when the hardware path is now in use. Both give the same digest;
// this exists so tests and benchmarks can exercise each path.
bool sha256_use_hardware(bool enable);
