#include "scrozzler.h"

namespace {
constexpr std::uint64_t lehmer_multiplier = 48271;
constexpr std::uint64_t lehmer_modulus = 2147483647;  // 2^31 - 1

// Only key generation touches this, and only on one thread at a time.
std::uint32_t prng_state = 0;
} // namespace

// The seed is kept as given: a seed of 0 (or a multiple of the modulus) is not
// replaced, so it yields zeros forever. Packages rely on that exact sequence.
void prng_seed(std::uint32_t seed)
{
    prng_state = seed;
}

std::uint32_t prng_next()
{
    prng_state = static_cast<std::uint32_t>((prng_state * lehmer_multiplier) % lehmer_modulus);
    return prng_state;
}
