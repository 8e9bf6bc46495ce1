#include "sha256_blocks.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <immintrin.h>

namespace {
constexpr unsigned leaf_features = 1;
constexpr unsigned leaf_extended_features = 7;
constexpr unsigned ecx_ssse3 = 1u << 9;
constexpr unsigned ecx_sse41 = 1u << 19;
constexpr unsigned ebx_sha = 1u << 29;
constexpr std::size_t block_bytes = 64;
constexpr int groups = 16;  // 64 rounds, four per group
} // namespace

bool sha256_shani_supported()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(leaf_features, &a, &b, &c, &d))
        return false;
    if ((c & ecx_ssse3) == 0 || (c & ecx_sse41) == 0)
        return false;
    if (!__get_cpuid_count(leaf_extended_features, 0, &a, &b, &c, &d))
        return false;
    return (b & ebx_sha) != 0;
}

// The SHA instructions keep the working variables as two vectors, ABEF and
// CDGH; each sha256rnds2 does two rounds, taking the two message+constant
// words from the low half of its third operand. The message schedule runs four
// words at a time: sha256msg1 adds sigma0 terms, the alignr supplies W[t-7],
// sha256msg2 adds the sigma1 terms.
__attribute__((target("sha,sse4.1,ssse3")))
void sha256_blocks_shani(std::uint32_t h[8], const std::uint8_t* data, std::size_t blocks)
{
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[4]));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks != 0; --blocks, data += block_bytes) {
        const __m128i abef_in = abef;
        const __m128i cdgh_in = cdgh;
        __m128i w[4];
        for (int i = 0; i < 4; ++i)
            w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);

#pragma GCC unroll 16
        for (int g = 0; g < groups; ++g) {
            const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&sha256_round_constants[4 * g]));
            __m128i wk = _mm_add_epi32(w[g & 3], k);
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
            wk = _mm_shuffle_epi32(wk, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
            if (g < groups - 4) {
                // W[4(g+4) .. 4(g+4)+3] from the four previous groups.
                __m128i next = _mm_sha256msg1_epu32(w[g & 3], w[(g + 1) & 3]);
                next = _mm_add_epi32(next, _mm_alignr_epi8(w[(g + 3) & 3], w[(g + 2) & 3], 4));
                w[g & 3] = _mm_sha256msg2_epu32(next, w[(g + 3) & 3]);
            }
        }
        abef = _mm_add_epi32(abef, abef_in);
        cdgh = _mm_add_epi32(cdgh, cdgh_in);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[0]), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[4]), hgfe);
}

#else

bool sha256_shani_supported()
{
    return false;
}

// Never chosen on this architecture; kept so the dispatcher links everywhere.
void sha256_blocks_shani(std::uint32_t h[8], const std::uint8_t* data, std::size_t blocks)
{
    sha256_blocks_portable(h, data, blocks);
}

#endif
