#include "scrozzler.h"

#include "byte_order.h"
#include "md5.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t md5_digest_bytes = 16;
constexpr std::size_t word_bytes = 4;

// One 16-byte lane; GCC lowers this to SSE (or wider) loads, XORs and stores.
typedef std::uint8_t lane __attribute__((vector_size(16), aligned(1), may_alias));
constexpr std::size_t lane_bytes = sizeof(lane);
constexpr std::size_t lanes_per_step = 4;
constexpr std::size_t step_bytes = lane_bytes * lanes_per_step;

// dst[i] ^= key[i] for i < n. The two ranges never overlap.
void xor_into(std::uint8_t* __restrict dst, const std::uint8_t* __restrict key, std::size_t n)
{
    std::size_t i = 0;
    for (; i + step_bytes <= n; i += step_bytes) {
        for (std::size_t l = 0; l < lanes_per_step; ++l) {
            lane d, k;
            std::memcpy(&d, dst + i + l * lane_bytes, lane_bytes);
            std::memcpy(&k, key + i + l * lane_bytes, lane_bytes);
            d ^= k;
            std::memcpy(dst + i + l * lane_bytes, &d, lane_bytes);
        }
    }
    for (; i + lane_bytes <= n; i += lane_bytes) {
        lane d, k;
        std::memcpy(&d, dst + i, lane_bytes);
        std::memcpy(&k, key + i, lane_bytes);
        d ^= k;
        std::memcpy(dst + i, &d, lane_bytes);
    }
    for (; i < n; ++i)
        dst[i] ^= key[i];
}
} // namespace

void scrozzler::set_key(std::size_t length, const std::uint8_t* bytes)
{
    key_.reset();
    key_len_ = 0;
    key_ = std::make_unique<std::uint8_t[]>(length);
    if (length != 0)
        std::memcpy(key_.get(), bytes, length);
    key_len_ = length;
}

void scrozzler::set_key(std::size_t length, std::uint32_t seed)
{
    key_.reset();
    key_len_ = 0;
    key_ = std::make_unique<std::uint8_t[]>(length);
    prng_seed(seed);
    for (std::size_t i = 0; i < length; i += word_bytes) {
        std::uint8_t be[word_bytes];
        store_be32(be, prng_next());
        std::memcpy(key_.get() + i, be, std::min(word_bytes, length - i));
    }
    key_len_ = length;
}

// A digest has only 16 bytes: a longer request is held to 16 rather than
// letting scramble() read past the key.
void scrozzler::set_key(std::size_t length, const void* data, std::size_t data_length)
{
    key_.reset();
    key_len_ = 0;
    key_ = std::make_unique<std::uint8_t[]>(md5_digest_bytes);
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, data, data_length);
    md5_final(&ctx, key_.get());
    key_len_ = std::min(length, md5_digest_bytes);
}

// Without a key there is nothing to XOR with; the data is left as it is instead
// of looping forever.
void scrozzler::scramble(void* data, std::size_t length) const
{
    if (key_len_ == 0)
        return;
    auto* p = static_cast<std::uint8_t*>(data);
    const std::size_t key_len = static_cast<std::size_t>(key_len_);
    for (std::size_t done = 0; done < length; done += key_len)
        xor_into(p + done, key_.get(), std::min(length - done, key_len));
}
