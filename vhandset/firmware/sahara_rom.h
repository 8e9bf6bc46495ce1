// The boot ROM's side of Sahara: announces itself with HELLO, loads an ELF
// flash programmer the host serves piece by piece, and offers the memory-debug
// and command modes. Written as firmware is: read a packet, act, answer.
#pragma once

#include "../device_link.h"
#include "../handset_options.h"
#include "elf_layout.h"
#include "sahara_packet.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vhandset {

class fault_plan;
class transcript;

// The region announced in memory-debug mode and the bytes it holds.
constexpr std::uint64_t memory_debug_address = 0x0c000000;
constexpr std::uint64_t memory_debug_length = 0x10000;
std::uint8_t memory_debug_byte(std::uint64_t address);

// Image id the ROM puts in its read requests (the flash programmer).
constexpr std::uint32_t programmer_image_id = 13;
// Largest piece of a segment asked for in one request.
constexpr std::uint32_t image_chunk_bytes = 4096;

class sahara_rom {
public:
    sahara_rom(device_link& link, const handset_options& opts, transcript& record, fault_plan& faults);

    // Returns once a programmer has been loaded and DONE answered with DONE_RESP.
    // Throws `unplugged` when the handset leaves the bus (also after RESET).
    void run();

private:
    enum class outcome { loaded, failed, silent, switched };
    struct result {
        outcome what = outcome::loaded;
        std::uint32_t value = 0;  // status for failed, mode for switched
    };

    std::optional<std::uint32_t> session(std::uint32_t announced);
    std::optional<std::uint32_t> idle(std::uint32_t mode);
    std::optional<std::uint32_t> wait_done();
    result load_image();
    result fetch(std::uint64_t offset, std::uint32_t count, bool wide, std::vector<unsigned char>* out);
    std::optional<std::uint32_t> common(const sahara::packet& p, std::uint32_t mode);

    bool read_packet(sahara::packet* out);
    void record_packet(const sahara::packet& p);
    void send(const sahara::packet& p);
    void send_hello(std::uint32_t mode);
    void end_of_image(std::uint32_t status);
    void serve_memory_read(std::uint64_t address, std::uint64_t length);
    [[noreturn]] void do_reset();

    device_link& link_;
    const handset_options& opts_;
    transcript& record_;
    fault_plan& faults_;
    bool image_wide_ = false;  // the image is 64-bit: requests go out as READ_DATA_64
};

} // namespace vhandset
