// A USB identity: vendor and product id, 16 bits each (text vvvv:pppp in hex).
#pragma once

#include <cstdint>

struct usb_vidpid_t {
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
};
