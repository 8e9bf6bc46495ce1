// Helpers shared by the digest and scrambler tests: hex text, random bytes and
// OpenSSL's digests as the independent reference.
#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

inline std::string to_hex(const std::uint8_t* bytes, std::size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 0xF];
    }
    return s;
}

inline std::vector<std::uint8_t> random_bytes(std::mt19937_64& rng, std::size_t n)
{
    std::vector<std::uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

inline std::string openssl_digest(const EVP_MD* md, const void* data, std::size_t n)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data, n, out, &len, md, nullptr) != 1)
        return "openssl failed";
    return to_hex(out, len);
}

// Cut points for feeding a message in random pieces (may include empty pieces).
inline std::vector<std::size_t> random_cuts(std::mt19937_64& rng, std::size_t n, int pieces)
{
    std::vector<std::size_t> cuts{0, n};
    std::uniform_int_distribution<std::size_t> pick(0, n);
    for (int i = 0; i < pieces - 1; ++i)
        cuts.push_back(pick(rng));
    std::sort(cuts.begin(), cuts.end());
    return cuts;
}
