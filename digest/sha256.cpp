#include "sha256.h"

#include "byte_order.h"
#include "sha256_blocks.h"

#include <atomic>
#include <cstring>

const std::uint32_t sha256_round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {
constexpr std::size_t block_bytes = 64;
constexpr std::size_t length_offset = 56;  // where the bit length goes in the last block
constexpr std::uint8_t pad_marker = 0x80;

constexpr std::uint32_t initial_hash[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

using blocks_fn = void (*)(std::uint32_t*, const std::uint8_t*, std::size_t);

// nullptr until first use; then the chosen compression function.
std::atomic<blocks_fn> chosen_blocks{nullptr};

blocks_fn compression()
{
    blocks_fn fn = chosen_blocks.load(std::memory_order_relaxed);
    if (fn == nullptr) {
        fn = sha256_shani_supported() ? sha256_blocks_shani : sha256_blocks_portable;
        chosen_blocks.store(fn, std::memory_order_relaxed);
    }
    return fn;
}

inline std::uint32_t rotr(std::uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

// Appends bytes to the message without touching the byte count.
void absorb(sha256_ctx* ctx, std::size_t used, const std::uint8_t* p, std::size_t length)
{
    const blocks_fn blocks = compression();
    if (used != 0) {
        const std::size_t take = block_bytes - used;
        if (length < take) {
            std::memcpy(ctx->block + used, p, length);
            return;
        }
        std::memcpy(ctx->block + used, p, take);
        blocks(ctx->h, ctx->block, 1);
        p += take;
        length -= take;
    }
    const std::size_t whole = length / block_bytes;
    if (whole != 0) {
        blocks(ctx->h, p, whole);
        p += whole * block_bytes;
        length -= whole * block_bytes;
    }
    if (length != 0)
        std::memcpy(ctx->block, p, length);
}
} // namespace

void sha256_blocks_portable(std::uint32_t h[8], const std::uint8_t* data, std::size_t blocks)
{
    for (; blocks != 0; --blocks, data += block_bytes) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t)
            w[t] = load_be32(data + 4 * t);
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t big_s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            const std::uint32_t ch = (e & f) ^ (~e & g);
            const std::uint32_t t1 = hh + big_s1 + ch + sha256_round_constants[t] + w[t];
            const std::uint32_t big_s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            const std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = big_s0 + maj;
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
        h[5] += f;
        h[6] += g;
        h[7] += hh;
    }
}

bool sha256_hardware_available()
{
    return sha256_shani_supported();
}

bool sha256_use_hardware(bool enable)
{
    const bool hardware = enable && sha256_shani_supported();
    chosen_blocks.store(hardware ? sha256_blocks_shani : sha256_blocks_portable, std::memory_order_relaxed);
    return hardware;
}

void sha256_init(sha256_ctx* ctx)
{
    ctx->count = 0;
    std::memset(ctx->block, 0, sizeof ctx->block);
    std::memcpy(ctx->h, initial_hash, sizeof ctx->h);
}

// A negative length is a caller's mistake; it is ignored rather than allowed to
// wind the byte count back and silently corrupt the digest.
void sha256_update(sha256_ctx* ctx, const void* data, std::int32_t length)
{
    if (length <= 0)
        return;
    const std::size_t used = ctx->count % block_bytes;
    ctx->count += static_cast<std::uint64_t>(length);
    absorb(ctx, used, static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(length));
}

void sha256_final(sha256_ctx* ctx, std::uint8_t out[32])
{
    const std::uint64_t bit_length = ctx->count * 8;
    std::uint8_t tail[2 * block_bytes] = {pad_marker};
    const std::size_t used = ctx->count % block_bytes;
    const std::size_t pad = (used < length_offset ? length_offset : length_offset + block_bytes) - used;
    store_be64(tail + pad, bit_length);
    absorb(ctx, used, tail, pad + 8);
    ctx->count += pad + 8;

    for (int i = 0; i < 8; ++i)
        store_be32(out + 4 * i, ctx->h[i]);
}
