#include "sahara.h"

#include "byte_order.h"
#include "file.h"
#include "log.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace {

// Command ids. 0 and 19 name no packet and are never valid on receipt.
enum command : std::uint32_t {
    cmd_hello = 1,
    cmd_hello_resp = 2,
    cmd_read_data = 3,
    cmd_end_of_image = 4,
    cmd_done = 5,
    cmd_done_resp = 6,
    cmd_reset = 7,
    cmd_reset_resp = 8,
    cmd_memory_debug = 9,
    cmd_memory_read = 10,
    cmd_cmd_ready = 11,
    cmd_switch_mode = 12,
    cmd_execute = 13,
    cmd_execute_resp = 14,
    cmd_execute_data = 15,
    cmd_memory_debug_64 = 16,
    cmd_memory_read_64 = 17,
    cmd_read_data_64 = 18,
};
constexpr std::uint32_t highest_received_command = cmd_read_data_64;

// Parameter words after the two header words, by command id. Both directions
// derive a packet's length from this table alone.
constexpr std::array<std::uint32_t, 20> parameter_words = {0, 10, 10, 3, 2, 0, 1, 0, 0, 2,
                                                          2, 0,  1,  1, 2, 1, 4, 4, 6, 0};
constexpr std::uint32_t header_words = 2;
constexpr std::uint32_t word_bytes = 4;
constexpr std::size_t packet_area_bytes = 48;  // HELLO and HELLO_RESP, the largest packets
constexpr std::size_t packet_header_bytes = header_words * word_bytes;

constexpr std::uint32_t packet_length(std::uint32_t id)
{
    return (parameter_words[id] + header_words) * word_bytes;
}
static_assert(packet_length(cmd_hello) == packet_area_bytes);

// Byte offsets of the fields after the header.
constexpr std::size_t off_id = 0;
constexpr std::size_t off_length = 4;
constexpr std::size_t off_hello_version = 8;
constexpr std::size_t off_hello_compatible = 12;
constexpr std::size_t off_hello_resp_status = 16;
constexpr std::size_t off_hello_mode = 20;
constexpr std::size_t off_read_offset = 12;
constexpr std::size_t off_read_count = 16;
constexpr std::size_t off_read64_offset = 16;
constexpr std::size_t off_read64_count = 24;
constexpr std::size_t off_end_status = 12;
constexpr std::size_t off_memory_address = 8;
constexpr std::size_t off_memory_length = 12;
constexpr std::size_t off_memory64_address = 8;
constexpr std::size_t off_memory64_length = 16;
constexpr std::size_t off_switch_mode = 8;

// What the host says about itself in every HELLO_RESP.
constexpr std::uint32_t host_version = 2;
constexpr std::uint32_t host_version_compatible = 1;
constexpr std::uint32_t hello_status_success = 0;
// Mode switching arrived with protocol version 2.
constexpr std::uint32_t first_version_with_modes = 2;

enum mode : std::uint32_t {
    mode_image_transfer = 0,
    mode_memory_debug = 2,
    mode_command = 3,
};

constexpr std::uint32_t status_success = 0;
constexpr std::uint32_t pipe_timeout_ms = 500;

constexpr std::array<const char*, 38> status_texts = {
    "Success",
    "Invalid command received in current state",
    "Protocol mismatch between host and target",
    "Invalid target protocol version",
    "Invalid host protocol version",
    "Invalid packet size received",
    "Unexpected image ID received",
    "Invalid image header size received",
    "Invalid image data size received",
    "Invalid image type received",
    "Invalid transmission length",
    "Invalid reception length",
    "General transmission or reception error",
    "Error while transmitting READ_DATA packet",
    "Cannot receive specified number of program headers",
    "Invalid data length received for program headers",
    "Multiple shared segments found in ELF image",
    "Uninitialized program header location",
    "Invalid destination address",
    "Invalid data size received in image header",
    "Invalid ELF header received",
    "Unknown host error received in HELLO_RESP",
    "Timeout while receiving data",
    "Timeout while transmitting header",
    "Invalid mode received from host",
    "Invalid memory read address",
    "Host cannot handle read data size requested",
    "Memory debug not supported",
    "Invalid mode switch",
    "Failed to execute command",
    "Invalid parameter passed to command execution",
    "unsupported client command received",
    "Invalid client command received for data response",
    "Failed to authenticate hash table",
    "Failed to verify hash for a given segment of ELF image",
    "Failed to find hash table in ELF image",
    "Target failed to initialize",
    "Failed to authenticate generic image",
};

// One packet in its fixed area; fields are little-endian whatever the host is.
struct packet {
    std::array<std::uint8_t, packet_area_bytes> bytes{};

    std::uint32_t u32(std::size_t offset) const { return load_le32(bytes, offset); }
    std::uint64_t u64(std::size_t offset) const { return load_le64(bytes, offset); }
    void put(std::size_t offset, std::uint32_t v) { store_le32(bytes, offset, v); }
    void put(std::size_t offset, std::uint64_t v) { store_le64(bytes, offset, v); }

    std::uint32_t id() const { return u32(off_id); }
    std::uint32_t length() const { return u32(off_length); }
};

packet make_packet(std::uint32_t id)
{
    packet p;
    p.put(off_id, id);
    p.put(off_length, packet_length(id));
    return p;
}

void send_packet(transport& port, const packet& p)
{
    port.write(p.bytes.data(), p.length());
    log_at(2, "sahara >>> 0x%08x\n", p.id());
}

// Fields the target did not send read as zero: only the length word is checked.
packet read_packet(transport& port)
{
    packet p;
    const std::size_t received = port.read(p.bytes.data(), p.bytes.size());
    if (received < packet_header_bytes)
        throw std::runtime_error("failed to read packet");
    if (p.id() == 0 || p.id() > highest_received_command)
        throw std::runtime_error("invalid packet command");
    if (p.length() != packet_length(p.id()))
        throw std::runtime_error("invalid packet length");
    log_at(2, "sahara <<< 0x%08x\n", p.id());
    return p;
}

[[noreturn]] void fail_target_error(std::uint32_t status)
{
    throw std::runtime_error(std::string("target error ") + sahara::error_string(status));
}

} // namespace

const char* sahara::error_string(std::uint32_t code)
{
    return code < status_texts.size() ? status_texts[code] : "Unknown error";
}

void sahara::open(transport& link)
{
    port_ = &link;
    port_->set_timeout(pipe_timeout_ms);
    hello();
}

void sahara::close()
{
    port_ = nullptr;
}

transport& sahara::link()
{
    if (port_ == nullptr)
        throw std::runtime_error("sahara: not open");
    return *port_;
}

void sahara::hello()
{
    const packet greeting = read_packet(link());
    if (greeting.id() != cmd_hello)
        throw std::runtime_error("received unexpected command");
    log_at(1, "sahara: device mode is %u\n", greeting.u32(off_hello_mode));
    version_ = greeting.u32(off_hello_version);
    version_compatible_ = greeting.u32(off_hello_compatible);
    mode_ = greeting.u32(off_hello_mode);

    // The host takes whatever mode the target chose; changing it is switch_mode's job.
    packet answer = make_packet(cmd_hello_resp);
    answer.put(off_hello_version, host_version);
    answer.put(off_hello_compatible, host_version_compatible);
    answer.put(off_hello_resp_status, hello_status_success);
    answer.put(off_hello_mode, mode_);
    send_packet(link(), answer);

    // In image-transfer mode the next packet is the first read request, which
    // belongs to upload.
    if (mode_ == mode_image_transfer)
        return;

    const packet next = read_packet(link());
    if (next.id() == cmd_end_of_image)
        fail_target_error(next.u32(off_end_status));
    if (mode_ == mode_memory_debug) {
        if (next.id() == cmd_memory_debug) {
            mem64_ = false;
            mem_address_ = next.u32(off_memory_address);
            mem_length_ = next.u32(off_memory_length);
        } else if (next.id() == cmd_memory_debug_64) {
            mem64_ = true;
            mem_address_ = next.u64(off_memory64_address);
            mem_length_ = next.u64(off_memory64_length);
        } else {
            throw std::runtime_error("received unexpected command");
        }
        log_info("target memory address=0x%lx length=0x%lx\n", static_cast<unsigned long>(mem_address_),
                 static_cast<unsigned long>(mem_length_));
    } else if (mode_ == mode_command) {
        if (next.id() != cmd_cmd_ready)
            throw std::runtime_error("received unexpected command");
        log_info("target is ready\n");
    }
    // Other modes have no opening step of their own; their packet is dropped.
}

void sahara::switch_mode(std::uint32_t mode)
{
    if (mode_ == mode)
        return;
    if (version_ < first_version_with_modes)
        throw std::runtime_error("cannot switch modes");
    log_info("sahara: switching to mode %u\n", mode);
    packet request = make_packet(cmd_switch_mode);
    request.put(off_switch_mode, mode);
    send_packet(link(), request);
    // The target answers with a fresh HELLO; only a HELLO changes the stored mode.
    hello();
}

void sahara::upload(const std::uint8_t* data, std::uint64_t size)
{
    switch_mode(mode_image_transfer);
    // Requests may come in any order, repeat or overlap: each is served on its own.
    for (;;) {
        const packet request = read_packet(link());
        std::uint64_t offset = 0;
        std::uint64_t count = 0;
        switch (request.id()) {
        case cmd_read_data:
            offset = request.u32(off_read_offset);
            count = request.u32(off_read_count);
            break;
        case cmd_read_data_64:
            offset = request.u64(off_read64_offset);
            count = request.u64(off_read64_count);
            break;
        case cmd_end_of_image: {
            const std::uint32_t status = request.u32(off_end_status);
            if (status != status_success)
                fail_target_error(status);
            send_packet(link(), make_packet(cmd_done));
            // The image-transfer status in DONE_RESP is not examined.
            if (read_packet(link()).id() != cmd_done_resp)
                throw std::runtime_error("bad done response");
            return;
        }
        default:
            throw std::runtime_error("unexpected command");
        }
        // Written so that neither comparison can overflow.
        if (offset > size || count > size - offset)
            throw std::runtime_error("target requested data beyond end of buffer");
        link().write(data + offset, static_cast<std::size_t>(count));
    }
}

void sahara::upload(const buffer& image)
{
    upload(image.c_ptr(), image.size());
}

void sahara::upload(const std::string& path)
{
    const file_mapping image(path);
    upload(image.data(), image.size());
}

void sahara::reset()
{
    switch_mode(mode_command);
    send_packet(link(), make_packet(cmd_reset));
    if (read_packet(link()).id() != cmd_reset_resp)
        throw std::runtime_error("bad reset response");
}

buffer sahara::memory_read(std::uint64_t address, std::uint64_t length)
{
    switch_mode(mode_memory_debug);
    if (mem64_) {
        packet request = make_packet(cmd_memory_read_64);
        request.put(off_memory64_address, address);
        request.put(off_memory64_length, length);
        send_packet(link(), request);
    } else {
        // A region announced with 32-bit fields cannot be addressed past them;
        // cutting the numbers would read some other memory.
        if (address > UINT32_MAX || length > UINT32_MAX)
            throw std::runtime_error("memory range beyond 32-bit fields");
        packet request = make_packet(cmd_memory_read);
        request.put(off_memory_address, static_cast<std::uint32_t>(address));
        request.put(off_memory_length, static_cast<std::uint32_t>(length));
        send_packet(link(), request);
    }
    // The memory arrives as raw bytes, with no packet around them.
    return read_exact(link(), static_cast<std::size_t>(length));
}

buffer sahara::memory_read()
{
    return memory_read(mem_address_, mem_length_);
}
