#include "hex.h"

#include <cstring>
#include <stdexcept>

namespace {
int digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}
} // namespace

void hex_encode(const void* bytes, std::size_t count, const char* separator, char* out, bool lower_case)
{
    const char* digits = lower_case ? "0123456789abcdef" : "0123456789ABCDEF";
    const std::size_t sep_len = separator != nullptr ? std::strlen(separator) : 0;
    const auto* b = static_cast<const unsigned char*>(bytes);
    for (std::size_t i = 0; i < count; ++i) {
        *out++ = digits[b[i] >> 4];
        *out++ = digits[b[i] & 0xf];
        if (sep_len != 0) {
            std::memcpy(out, separator, sep_len);
            out += sep_len;
        }
    }
    *out = '\0';
}

std::string buffer_to_hex(const buffer& b, const char* separator)
{
    // Each byte takes two digits and at most one separator character.
    const char sep[2] = {separator != nullptr ? separator[0] : '\0', '\0'};
    std::string out(b.size() * 3 + 1, '\0');
    hex_encode(b.c_ptr(), b.size(), sep, out.data(), false);
    out.resize(std::strlen(out.c_str()));
    return out;
}

long hex_decode(const char* text, unsigned char* out)
{
    long n = 0;
    while (text[0] != '\0' && text[1] != '\0') {
        const int hi = digit_value(text[0]);
        const int lo = digit_value(text[1]);
        if (hi < 0 || lo < 0)
            return -1;
        out[n++] = static_cast<unsigned char>(hi * 16 + lo);
        text += 2;
        if (*text == ' ')
            ++text;
    }
    return n;
}

buffer hex_to_buffer(const std::string& text)
{
    buffer b;
    b.resize(text.size() / 2);
    const long n = hex_decode(text.c_str(), b.c_ptr());
    if (n < 0)
        throw std::runtime_error("Invalid hex string");
    b.resize(static_cast<std::uint64_t>(n));
    return b;
}
