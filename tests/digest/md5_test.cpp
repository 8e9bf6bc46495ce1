#include "md5.h"

#include "digest_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/mman.h>

namespace {

std::string md5_hex(const void* data, std::size_t n)
{
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, data, n);
    std::uint8_t out[16];
    md5_final(&ctx, out);
    return to_hex(out, sizeof out);
}

std::string md5_hex(const std::string& s)
{
    return md5_hex(s.data(), s.size());
}

TEST(md5, rfc1321_test_suite)
{
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(md5, bit_count_is_kept_in_two_words)
{
    md5_ctx ctx;
    md5_init(&ctx);
    EXPECT_EQ(ctx.a, 0x67452301u);
    EXPECT_EQ(ctx.b, 0xefcdab89u);
    EXPECT_EQ(ctx.c, 0x98badcfeu);
    EXPECT_EQ(ctx.d, 0x10325476u);
    const char abc[] = "abc";
    md5_update(&ctx, abc, 3);
    EXPECT_EQ(ctx.count_lo, 24u);
    EXPECT_EQ(ctx.count_hi, 0u);

    // Crossing 2^32 bits moves a carry into the high word.
    ctx.count_lo = 0xFFFFFFF8u;
    md5_update(&ctx, abc, 2);
    EXPECT_EQ(ctx.count_lo, 8u);
    EXPECT_EQ(ctx.count_hi, 1u);
}

TEST(md5, zero_length_update_changes_nothing)
{
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, "hello", 5);
    md5_ctx before;
    std::memcpy(&before, &ctx, sizeof ctx);
    md5_update(&ctx, "ignored", 0);
    md5_update(&ctx, nullptr, 0);
    EXPECT_EQ(std::memcmp(&before, &ctx, sizeof ctx), 0);
}

TEST(md5, matches_openssl_for_every_small_size_and_some_large_ones)
{
    std::mt19937_64 rng(1321);
    std::vector<std::size_t> sizes;
    for (std::size_t n = 0; n <= 300; ++n)
        sizes.push_back(n);
    for (std::size_t n : {4095u, 65536u, 65537u, 1000003u, 5u << 20})
        sizes.push_back(n);
    for (std::size_t n : sizes) {
        const auto data = random_bytes(rng, n);
        ASSERT_EQ(md5_hex(data.data(), n), openssl_digest(EVP_md5(), data.data(), n)) << "size " << n;
    }
}

TEST(md5, pieces_of_any_size_give_the_same_digest)
{
    std::mt19937_64 rng(7);
    for (std::size_t n : {1u, 63u, 64u, 65u, 200u, 4097u, 300000u}) {
        const auto data = random_bytes(rng, n);
        const std::string whole = md5_hex(data.data(), n);
        for (int round = 0; round < 20; ++round) {
            const auto cuts = random_cuts(rng, n, 1 + round % 9);
            md5_ctx ctx;
            md5_init(&ctx);
            for (std::size_t i = 0; i + 1 < cuts.size(); ++i)
                md5_update(&ctx, data.data() + cuts[i], cuts[i + 1] - cuts[i]);
            std::uint8_t out[16];
            md5_final(&ctx, out);
            ASSERT_EQ(to_hex(out, 16), whole) << "size " << n << " round " << round;
        }
    }
}

// A single call longer than 2^29 bytes overflows a 32-bit bit count; the
// digest must still be the one of the whole message. Zero pages cost no memory.
TEST(md5, one_call_beyond_512_mib_counts_every_bit)
{
    constexpr std::size_t n = (std::size_t{1} << 29) + 64;
    void* zeros = ::mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_POPULATE, -1, 0);
    ASSERT_NE(zeros, MAP_FAILED);
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, zeros, n);
    EXPECT_EQ(ctx.count_hi, 1u);
    EXPECT_EQ(ctx.count_lo, 512u);
    std::uint8_t out[16];
    md5_final(&ctx, out);
    // MD5 of 2^29 + 64 zero bytes, as computed by openssl dgst -md5.
    EXPECT_EQ(to_hex(out, 16), "86d6d3e2fba02caee5d80c9d0246acf5");
    ::munmap(zeros, n);
}

} // namespace
