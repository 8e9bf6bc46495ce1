#include "decimal_text.h"

#include <cstdlib>

std::uint32_t decimal_text_value(const char* text)
{
    constexpr int base = 10;
    return static_cast<std::uint32_t>(static_cast<int>(std::strtol(text, nullptr, base)));
}
