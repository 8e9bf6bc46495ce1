// Sahara packets as the boot ROM sees them: little-endian 32-bit words, word 0
// the command id, word 1 the packet length, then a fixed number of parameter
// words per command.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vhandset::sahara {

enum command : std::uint32_t {
    hello = 1,
    hello_resp = 2,
    read_data = 3,
    end_of_image = 4,
    done = 5,
    done_resp = 6,
    reset = 7,
    reset_resp = 8,
    memory_debug = 9,
    memory_read = 10,
    cmd_ready = 11,
    cmd_switch_mode = 12,
    cmd_execute = 13,
    cmd_execute_resp = 14,
    cmd_execute_data = 15,
    memory_debug_64 = 16,
    memory_read_64 = 17,
    read_data_64 = 18,
};

enum mode : std::uint32_t {
    mode_image_transfer = 0,
    mode_memory_debug = 2,
    mode_command = 3,
};

// END_OF_IMAGE status codes the ROM reports.
enum status : std::uint32_t {
    status_success = 0x00,
    status_invalid_command = 0x01,
    status_invalid_host_version = 0x04,
    status_invalid_packet_size = 0x05,
    status_invalid_reception_length = 0x0B,
    status_program_header_count = 0x0E,
    status_program_header_length = 0x0F,
    status_uninitialised_program_header = 0x11,
    status_invalid_image_size = 0x13,
    status_invalid_elf_header = 0x14,
    status_host_error_in_hello_resp = 0x15,
    status_data_timeout = 0x16,
    status_invalid_mode = 0x18,
    status_invalid_memory_read = 0x19,
    status_memory_debug_unsupported = 0x1B,
    status_invalid_mode_switch = 0x1C,
    status_unsupported_client_command = 0x1F,
};

constexpr std::uint32_t max_command_packet = 0x400;
constexpr std::size_t header_bytes = 8;

// Packet length for a command id (0 for ids outside the table).
std::uint32_t packet_length(std::uint32_t id);

// A packet under construction or as received: its words.
class packet {
public:
    // Zeroed packet of the command's length with id and length set.
    explicit packet(std::uint32_t id);
    // Interprets received bytes (missing words read as 0).
    static packet from_bytes(const unsigned char* data, std::size_t len);

    std::uint32_t id() const { return word(0); }
    std::uint32_t length_word() const { return word(1); }
    std::uint32_t word(std::size_t i) const { return i < words_.size() ? words_[i] : 0; }
    std::uint64_t dword(std::size_t i) const { return word(i) | (std::uint64_t{word(i + 1)} << 32); }
    void set(std::size_t i, std::uint32_t v);
    void set64(std::size_t i, std::uint64_t v);

    // The packet's bytes on the wire (length_word() bytes, or the words held).
    std::vector<unsigned char> bytes() const;

private:
    packet() = default;
    std::vector<std::uint32_t> words_;
};

std::uint32_t load_le32(const unsigned char* p);
std::uint64_t load_le64(const unsigned char* p);
std::uint16_t load_le16(const unsigned char* p);

} // namespace vhandset::sahara
