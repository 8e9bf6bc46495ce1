#include "md5.h"

#include "byte_order.h"

#include <cstring>

namespace {
constexpr std::size_t block_bytes = 64;
constexpr std::size_t length_offset = 56;  // where the bit count goes in the last block
constexpr std::uint8_t pad_marker = 0x80;

constexpr std::uint32_t init_a = 0x67452301;
constexpr std::uint32_t init_b = 0xefcdab89;
constexpr std::uint32_t init_c = 0x98badcfe;
constexpr std::uint32_t init_d = 0x10325476;

inline std::uint32_t rotl(std::uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

// The round functions are written so each step's dependency on the previous
// result is as short as possible: the independent message + constant + old a
// sum is formed before the round function needs b.
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

#define MD5_STEP_F(a, b, c, d, m, k, s) \
    a += (m) + (k);                     \
    a += MD5_F(b, c, d);                \
    a = rotl(a, s) + (b)
// G(x,y,z) = (x & z) | (y & ~z); the two terms never share a bit, so they can be added separately.
#define MD5_STEP_G(a, b, c, d, m, k, s) \
    a += (m) + (k) + ((c) & ~(d));      \
    a += (b) & (d);                     \
    a = rotl(a, s) + (b)
#define MD5_STEP_H(a, b, c, d, m, k, s) \
    a += (m) + (k);                     \
    a += MD5_H(b, c, d);                \
    a = rotl(a, s) + (b)
#define MD5_STEP_I(a, b, c, d, m, k, s) \
    a += (m) + (k);                     \
    a += MD5_I(b, c, d);                \
    a = rotl(a, s) + (b)

void md5_blocks(md5_ctx* ctx, const std::uint8_t* p, std::size_t blocks)
{
    std::uint32_t a = ctx->a, b = ctx->b, c = ctx->c, d = ctx->d;
    for (; blocks != 0; --blocks, p += block_bytes) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = load_le32(p + 4 * i);
        const std::uint32_t aa = a, bb = b, cc = c, dd = d;

        MD5_STEP_F(a, b, c, d, x[0], 0xd76aa478, 7);
        MD5_STEP_F(d, a, b, c, x[1], 0xe8c7b756, 12);
        MD5_STEP_F(c, d, a, b, x[2], 0x242070db, 17);
        MD5_STEP_F(b, c, d, a, x[3], 0xc1bdceee, 22);
        MD5_STEP_F(a, b, c, d, x[4], 0xf57c0faf, 7);
        MD5_STEP_F(d, a, b, c, x[5], 0x4787c62a, 12);
        MD5_STEP_F(c, d, a, b, x[6], 0xa8304613, 17);
        MD5_STEP_F(b, c, d, a, x[7], 0xfd469501, 22);
        MD5_STEP_F(a, b, c, d, x[8], 0x698098d8, 7);
        MD5_STEP_F(d, a, b, c, x[9], 0x8b44f7af, 12);
        MD5_STEP_F(c, d, a, b, x[10], 0xffff5bb1, 17);
        MD5_STEP_F(b, c, d, a, x[11], 0x895cd7be, 22);
        MD5_STEP_F(a, b, c, d, x[12], 0x6b901122, 7);
        MD5_STEP_F(d, a, b, c, x[13], 0xfd987193, 12);
        MD5_STEP_F(c, d, a, b, x[14], 0xa679438e, 17);
        MD5_STEP_F(b, c, d, a, x[15], 0x49b40821, 22);

        MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562, 5);
        MD5_STEP_G(d, a, b, c, x[6], 0xc040b340, 9);
        MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51, 14);
        MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aa, 20);
        MD5_STEP_G(a, b, c, d, x[5], 0xd62f105d, 5);
        MD5_STEP_G(d, a, b, c, x[10], 0x02441453, 9);
        MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681, 14);
        MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8, 20);
        MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6, 5);
        MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6, 9);
        MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87, 14);
        MD5_STEP_G(b, c, d, a, x[8], 0x455a14ed, 20);
        MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905, 5);
        MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8, 9);
        MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9, 14);
        MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8a, 20);

        MD5_STEP_H(a, b, c, d, x[5], 0xfffa3942, 4);
        MD5_STEP_H(d, a, b, c, x[8], 0x8771f681, 11);
        MD5_STEP_H(c, d, a, b, x[11], 0x6d9d6122, 16);
        MD5_STEP_H(b, c, d, a, x[14], 0xfde5380c, 23);
        MD5_STEP_H(a, b, c, d, x[1], 0xa4beea44, 4);
        MD5_STEP_H(d, a, b, c, x[4], 0x4bdecfa9, 11);
        MD5_STEP_H(c, d, a, b, x[7], 0xf6bb4b60, 16);
        MD5_STEP_H(b, c, d, a, x[10], 0xbebfbc70, 23);
        MD5_STEP_H(a, b, c, d, x[13], 0x289b7ec6, 4);
        MD5_STEP_H(d, a, b, c, x[0], 0xeaa127fa, 11);
        MD5_STEP_H(c, d, a, b, x[3], 0xd4ef3085, 16);
        MD5_STEP_H(b, c, d, a, x[6], 0x04881d05, 23);
        MD5_STEP_H(a, b, c, d, x[9], 0xd9d4d039, 4);
        MD5_STEP_H(d, a, b, c, x[12], 0xe6db99e5, 11);
        MD5_STEP_H(c, d, a, b, x[15], 0x1fa27cf8, 16);
        MD5_STEP_H(b, c, d, a, x[2], 0xc4ac5665, 23);

        MD5_STEP_I(a, b, c, d, x[0], 0xf4292244, 6);
        MD5_STEP_I(d, a, b, c, x[7], 0x432aff97, 10);
        MD5_STEP_I(c, d, a, b, x[14], 0xab9423a7, 15);
        MD5_STEP_I(b, c, d, a, x[5], 0xfc93a039, 21);
        MD5_STEP_I(a, b, c, d, x[12], 0x655b59c3, 6);
        MD5_STEP_I(d, a, b, c, x[3], 0x8f0ccc92, 10);
        MD5_STEP_I(c, d, a, b, x[10], 0xffeff47d, 15);
        MD5_STEP_I(b, c, d, a, x[1], 0x85845dd1, 21);
        MD5_STEP_I(a, b, c, d, x[8], 0x6fa87e4f, 6);
        MD5_STEP_I(d, a, b, c, x[15], 0xfe2ce6e0, 10);
        MD5_STEP_I(c, d, a, b, x[6], 0xa3014314, 15);
        MD5_STEP_I(b, c, d, a, x[13], 0x4e0811a1, 21);
        MD5_STEP_I(a, b, c, d, x[4], 0xf7537e82, 6);
        MD5_STEP_I(d, a, b, c, x[11], 0xbd3af235, 10);
        MD5_STEP_I(c, d, a, b, x[2], 0x2ad7d2bb, 15);
        MD5_STEP_I(b, c, d, a, x[9], 0xeb86d391, 21);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }
    ctx->a = a;
    ctx->b = b;
    ctx->c = c;
    ctx->d = d;
}
} // namespace

void md5_init(md5_ctx* ctx)
{
    ctx->count_lo = 0;
    ctx->count_hi = 0;
    ctx->a = init_a;
    ctx->b = init_b;
    ctx->c = init_c;
    ctx->d = init_d;
    std::memset(ctx->block, 0, sizeof ctx->block);
}

// The bit count is kept modulo 2^64 over both words, so a single call of 512 MiB
// or more still carries its high bits into the high word.
void md5_update(md5_ctx* ctx, const void* data, std::size_t length)
{
    if (length == 0)
        return;
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t used = (ctx->count_lo >> 3) % block_bytes;

    const std::uint64_t bits = static_cast<std::uint64_t>(length) << 3;
    const std::uint32_t old_lo = ctx->count_lo;
    ctx->count_lo += static_cast<std::uint32_t>(bits);
    if (ctx->count_lo < old_lo)
        ++ctx->count_hi;
    ctx->count_hi += static_cast<std::uint32_t>(bits >> 32);

    if (used != 0) {
        const std::size_t take = block_bytes - used;
        if (length < take) {
            std::memcpy(ctx->block + used, p, length);
            return;
        }
        std::memcpy(ctx->block + used, p, take);
        md5_blocks(ctx, ctx->block, 1);
        p += take;
        length -= take;
    }
    const std::size_t whole = length / block_bytes;
    if (whole != 0) {
        md5_blocks(ctx, p, whole);
        p += whole * block_bytes;
        length -= whole * block_bytes;
    }
    if (length != 0)
        std::memcpy(ctx->block, p, length);
}

void md5_final(md5_ctx* ctx, std::uint8_t out[16])
{
    std::uint8_t count[8];
    store_le32(count, ctx->count_lo);
    store_le32(count + 4, ctx->count_hi);

    const std::size_t used = (ctx->count_lo >> 3) % block_bytes;
    const std::size_t pad = (used < length_offset ? length_offset : length_offset + block_bytes) - used;
    std::uint8_t padding[block_bytes] = {pad_marker};
    md5_update(ctx, padding, pad);
    md5_update(ctx, count, sizeof count);

    store_le32(out, ctx->a);
    store_le32(out + 4, ctx->b);
    store_le32(out + 8, ctx->c);
    store_le32(out + 12, ctx->d);
}
