#include "scrozzler.h"

#include "byte_order.h"
#include "digest_test_support.h"

#include <gtest/gtest.h>

#include <array>

namespace {

constexpr std::size_t package_key_len = 65536;

std::vector<std::uint32_t> key_words(const scrozzler& s, std::size_t count)
{
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i < count; ++i)
        words.push_back(load_be32(s.key() + 4 * i));
    return words;
}

TEST(scrozzler, generated_keys_start_with_the_known_generator_words)
{
    // state = state * 48271 mod (2^31 - 1), most significant byte first.
    struct known {
        std::uint32_t seed;
        std::array<std::uint32_t, 4> words;
    };
    const known cases[] = {
        {1, {0x0000BC8F, 0x0AE257E2, 0x4CF91F46, 0x7220517D}},
        {42, {0x001EEF76, 0x49226B17, 0x20DF2195, 0x394D5EA7}},
        {123456789, {0x06E30592, 0x10E75EB3, 0x5AC972E3, 0x26E6668A}},
        // 2 * (2^31 - 1) + 1: only a 64-bit product gets this right.
        {4294967295u, {0x0000BC8F, 0x0AE257E2, 0x4CF91F46, 0x7220517D}},
    };
    for (const auto& c : cases) {
        const scrozzler s(package_key_len, c.seed);
        ASSERT_EQ(s.key_len(), package_key_len);
        const auto words = key_words(s, 4);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(words[i], c.words[i]) << "seed " << c.seed << " word " << i;
    }
}

TEST(scrozzler, key_bytes_0_4_8_have_the_top_bit_clear)
{
    std::mt19937_64 rng(2);
    for (int round = 0; round < 8; ++round) {
        const auto seed = static_cast<std::uint32_t>(rng());
        const scrozzler s(package_key_len, seed);
        bool any_set = false;
        for (std::size_t i = 0; i < package_key_len; ++i) {
            if (i % 4 == 0) {
                ASSERT_EQ(s.key()[i] & 0x80, 0) << "seed " << seed << " byte " << i;
            }
            any_set |= s.key()[i] != 0;
        }
        EXPECT_TRUE(any_set);
    }
}

TEST(scrozzler, seeds_that_are_multiples_of_the_modulus_give_an_all_zero_key)
{
    for (std::uint32_t seed : {0u, 2147483647u, 4294967294u}) {
        const scrozzler s(package_key_len, seed);
        ASSERT_EQ(s.key_len(), package_key_len);
        for (std::size_t i = 0; i < package_key_len; ++i)
            ASSERT_EQ(s.key()[i], 0) << "seed " << seed << " byte " << i;
        std::mt19937_64 rng(seed);
        const auto original = random_bytes(rng, 100000);
        auto data = original;
        s.scramble(data.data(), data.size());
        EXPECT_EQ(data, original);
    }
}

TEST(scrozzler, key_length_not_a_multiple_of_four_takes_the_leading_bytes_and_leaves_the_generator_after_it)
{
    const scrozzler s(6, 1u);
    ASSERT_EQ(s.key_len(), 6u);
    const std::vector<std::uint8_t> key(s.key(), s.key() + 6);
    EXPECT_EQ(key, (std::vector<std::uint8_t>{0x00, 0x00, 0xBC, 0x8F, 0x0A, 0xE2}));
    EXPECT_EQ(prng_next(), 0x4CF91F46u);
}

TEST(scrozzler, scrambling_twice_gives_back_the_original)
{
    std::mt19937_64 rng(3);
    const scrozzler s(package_key_len, 0x1234567u);
    for (std::size_t n : {0u, 1u, 17u, 65535u, 65536u, 200001u}) {
        const auto original = random_bytes(rng, n);
        auto data = original;
        s.scramble(data.data(), n);
        if (n > 16) {
            EXPECT_NE(data, original);
        }
        s.scramble(data.data(), n);
        EXPECT_EQ(data, original) << "size " << n;
    }
}

TEST(scrozzler, short_ranges_use_the_key_start_and_long_ones_repeat_it)
{
    const std::uint8_t key[] = {0x11, 0x22, 0x33, 0x44, 0x55};
    const scrozzler s(sizeof key, key);
    std::vector<std::uint8_t> data(3, 0);
    s.scramble(data.data(), data.size());
    EXPECT_EQ(data, (std::vector<std::uint8_t>{0x11, 0x22, 0x33}));

    data.assign(10, 0xFF);
    s.scramble(data.data(), data.size());
    EXPECT_EQ(data, (std::vector<std::uint8_t>{0xEE, 0xDD, 0xCC, 0xBB, 0xAA, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA}));

    // A generated key over exactly twice its length: both halves see the whole key.
    const scrozzler g(package_key_len, 99u);
    std::vector<std::uint8_t> zeros(2 * package_key_len, 0);
    g.scramble(zeros.data(), zeros.size());
    EXPECT_TRUE(std::equal(g.key(), g.key() + package_key_len, zeros.begin()));
    EXPECT_TRUE(std::equal(g.key(), g.key() + package_key_len, zeros.begin() + package_key_len));
}

// Every offset and tail length around the word-sized XOR, checked byte by byte.
TEST(scrozzler, every_byte_meets_key_byte_at_its_offset_modulo_the_key_length)
{
    std::mt19937_64 rng(4);
    for (std::size_t key_len : {1u, 3u, 16u, 63u, 64u, 65u, 100u}) {
        const auto key = random_bytes(rng, key_len);
        const scrozzler s(key_len, key.data());
        for (std::size_t n = 0; n < 300; n += 7) {
            for (std::size_t offset : {0u, 1u, 5u}) {
                auto data = random_bytes(rng, n + offset);
                const auto original = data;
                s.scramble(data.data() + offset, n);
                for (std::size_t i = 0; i < offset; ++i)
                    ASSERT_EQ(data[i], original[i]);
                for (std::size_t i = 0; i < n; ++i)
                    ASSERT_EQ(data[offset + i], original[offset + i] ^ key[i % key_len])
                        << "key " << key_len << " size " << n << " offset " << offset << " byte " << i;
            }
        }
    }
}

TEST(scrozzler, a_stream_scrambled_in_key_sized_pieces_equals_one_call)
{
    std::mt19937_64 rng(5);
    const scrozzler s(package_key_len, 777u);
    const auto original = random_bytes(rng, 3 * package_key_len + 1234);
    auto whole = original;
    s.scramble(whole.data(), whole.size());
    auto pieces = original;
    for (std::size_t p = 0; p < pieces.size(); p += package_key_len)
        s.scramble(pieces.data() + p, std::min(package_key_len, pieces.size() - p));
    EXPECT_EQ(whole, pieces);
}

TEST(scrozzler, digest_key_repeats_the_leading_md5_bytes)
{
    const scrozzler s(4, "abc", 3);
    ASSERT_EQ(s.key_len(), 4u);
    std::vector<std::uint8_t> data(6, 0);
    s.scramble(data.data(), data.size());
    // MD5("abc") = 900150983cd24fb0...
    EXPECT_EQ(data, (std::vector<std::uint8_t>{0x90, 0x01, 0x50, 0x98, 0x90, 0x01}));

    // A digest has 16 bytes; asking for more must not read past them.
    const scrozzler wide(40, "abc", 3);
    EXPECT_EQ(wide.key_len(), 16u);
    EXPECT_EQ(to_hex(wide.key(), 16), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(scrozzler, set_key_replaces_the_previous_key)
{
    scrozzler s;
    EXPECT_EQ(s.key_len(), 0u);
    EXPECT_EQ(s.key(), nullptr);
    std::vector<std::uint8_t> data{1, 2, 3};
    s.scramble(data.data(), data.size());  // no key: nothing to XOR with
    EXPECT_EQ(data, (std::vector<std::uint8_t>{1, 2, 3}));

    s.set_key(package_key_len, 1u);
    const std::uint8_t two[] = {0xA0, 0x0B};
    s.set_key(sizeof two, two);
    EXPECT_EQ(s.key_len(), 2u);
    data.assign(4, 0);
    s.scramble(data.data(), data.size());
    EXPECT_EQ(data, (std::vector<std::uint8_t>{0xA0, 0x0B, 0xA0, 0x0B}));

    s.set_key(8, 42u);
    EXPECT_EQ(key_words(s, 2), (std::vector<std::uint32_t>{0x001EEF76, 0x49226B17}));
}

} // namespace
