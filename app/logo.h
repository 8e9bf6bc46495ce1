// The product wordmark, a 94 by 21 RGBA PNG, compiled into the program from
// logo.png (the bytes are generated at build time).
#pragma once

#include <cstddef>

extern const unsigned char logo_png[];
extern const std::size_t logo_png_size;
