// Which partitions a flash writes.
#pragma once

#include <cstdint>

enum flash_type : std::uint32_t {
    base_only = 1,  // the base firmware only
    keep_data = 2,  // everything but userdata
    full = 3,       // everything
};
