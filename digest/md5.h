// MD5 (RFC 1321), incremental.
#pragma once

#include <cstddef>
#include <cstdint>

struct md5_ctx {
    std::uint32_t count_lo;
    std::uint32_t count_hi;
    std::uint32_t a, b, c, d;
    std::uint8_t block[64];
};

void md5_init(md5_ctx* ctx);
void md5_update(md5_ctx* ctx, const void* data, std::size_t length);
void md5_final(md5_ctx* ctx, std::uint8_t out[16]);
