// Decimal text as the catalogue reads sector sizes: C atoi's result (leading
// blanks and a sign allowed, stops at the first non-digit, 0 for no digits),
// but with overflow defined: out-of-range text gives the low 32 bits of the
// saturated long value instead of undefined behaviour.
#pragma once

#include <cstdint>

std::uint32_t decimal_text_value(const char* text);
