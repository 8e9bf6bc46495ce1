#include "sha256.h"

#include "digest_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string sha256_hex(const void* data, std::size_t n)
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, static_cast<std::int32_t>(n));
    std::uint8_t out[32];
    sha256_final(&ctx, out);
    return to_hex(out, sizeof out);
}

std::string sha256_hex(const std::string& s)
{
    return sha256_hex(s.data(), s.size());
}

// Every case runs once on the CPU's SHA extensions and once on the portable code.
class sha256 : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        if (GetParam() && !sha256_hardware_available())
            GTEST_SKIP() << "CPU has no SHA extensions";
        ASSERT_EQ(sha256_use_hardware(GetParam()), GetParam());
    }
    void TearDown() override { sha256_use_hardware(true); }
};

TEST_P(sha256, fips_180_4_examples)
{
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
                         "klmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST_P(sha256, matches_openssl_for_every_small_size_and_some_large_ones)
{
    std::mt19937_64 rng(1804);
    std::vector<std::size_t> sizes;
    for (std::size_t n = 0; n <= 300; ++n)
        sizes.push_back(n);
    for (std::size_t n : {4095u, 65536u, 65537u, 1000003u, 5u << 20})
        sizes.push_back(n);
    for (std::size_t n : sizes) {
        const auto data = random_bytes(rng, n);
        ASSERT_EQ(sha256_hex(data.data(), n), openssl_digest(EVP_sha256(), data.data(), n)) << "size " << n;
    }
}

TEST_P(sha256, pieces_of_any_size_give_the_same_digest)
{
    std::mt19937_64 rng(11);
    for (std::size_t n : {1u, 55u, 56u, 63u, 64u, 65u, 200u, 4097u, 300000u}) {
        const auto data = random_bytes(rng, n);
        const std::string whole = openssl_digest(EVP_sha256(), data.data(), n);
        for (int round = 0; round < 20; ++round) {
            const auto cuts = random_cuts(rng, n, 1 + round % 9);
            sha256_ctx ctx;
            sha256_init(&ctx);
            for (std::size_t i = 0; i + 1 < cuts.size(); ++i)
                sha256_update(&ctx, data.data() + cuts[i], static_cast<std::int32_t>(cuts[i + 1] - cuts[i]));
            EXPECT_EQ(ctx.count, n);
            std::uint8_t out[32];
            sha256_final(&ctx, out);
            ASSERT_EQ(to_hex(out, 32), whole) << "size " << n << " round " << round;
        }
    }
}

TEST_P(sha256, zero_or_negative_length_changes_nothing)
{
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, "hello", 5);
    sha256_ctx before;
    std::memcpy(&before, &ctx, sizeof ctx);
    sha256_update(&ctx, "ignored", 0);
    sha256_update(&ctx, "ignored", -1);
    sha256_update(&ctx, "ignored", INT32_MIN);
    EXPECT_EQ(std::memcmp(&before, &ctx, sizeof ctx), 0);
    std::uint8_t out[32];
    sha256_final(&ctx, out);
    EXPECT_EQ(to_hex(out, 32), openssl_digest(EVP_sha256(), "hello", 5));
}

INSTANTIATE_TEST_SUITE_P(paths, sha256, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "hardware" : "portable"; });

TEST(sha256_selection, portable_can_always_be_forced_and_hardware_only_when_present)
{
    EXPECT_FALSE(sha256_use_hardware(false));
    EXPECT_EQ(sha256_use_hardware(true), sha256_hardware_available());
}

} // namespace
