// A boot ROM's side of the Sahara link: the fuzzer's bytes are the packets it
// sends (each one length byte and the packet; length 0 is a read that times
// out), delivered through the scripted peer that stands in for the USB pipe.
// The host uploads a small programmer as a flash does, then asks for the other
// modes (memory debug, command) so their packets are read too.
#include "fuzz_support.h"
#include "log.h"
#include "sahara.h"
#include "scripted_session.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

namespace {

constexpr std::size_t programmer_bytes = 4096;
constexpr std::uint64_t debug_address = 0x100;
constexpr std::uint64_t debug_length = 64;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool setup = (log_level = 2, true);
    (void)setup;

    const fuzz::scripted_session session(fuzz::length_prefixed(data, size));

    sahara rom;
    try {
        rom.open(scripted::peer::current());
    } catch (const std::runtime_error&) {
        return 0;
    }
    const std::vector<std::uint8_t> programmer(programmer_bytes, 0x7f);
    fuzz::attempt([&] { rom.upload(programmer.data(), programmer.size()); });
    fuzz::attempt([&] { rom.memory_read(debug_address, debug_length); });
    fuzz::attempt([&] { rom.reset(); });
    return 0;
}
