#include "sahara_rom.h"

#include "fault_plan.h"
#include "transcript.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace vhandset {

using namespace sahara;

namespace {

constexpr std::uint32_t bad_hello_length = 0x34;
// Offsets far beyond any programmer, for the "beyond" fault.
constexpr std::uint32_t beyond_offset32 = 0xffff0000u;
constexpr std::uint64_t beyond_offset64 = 1ull << 33;
constexpr std::size_t memory_read_chunk = 4096;

// Word indexes inside packets (word 0 id, word 1 length).
constexpr std::size_t w_first = 2;   // first parameter word
constexpr std::size_t w_second = 3;
constexpr std::size_t w_third = 4;
constexpr std::size_t w_fourth = 5;

std::string hex(std::uint64_t v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string name_of(std::uint32_t id)
{
    switch (id) {
    case hello: return "HELLO";
    case hello_resp: return "HELLO_RESP";
    case read_data: return "READ_DATA";
    case end_of_image: return "END_OF_IMAGE";
    case done: return "DONE";
    case done_resp: return "DONE_RESP";
    case reset: return "RESET";
    case reset_resp: return "RESET_RESP";
    case memory_debug: return "MEMORY_DEBUG";
    case memory_read: return "MEMORY_READ";
    case cmd_ready: return "CMD_READY";
    case cmd_switch_mode: return "CMD_SWITCH_MODE";
    case cmd_execute: return "CMD_EXECUTE";
    case cmd_execute_resp: return "CMD_EXECUTE_RESP";
    case cmd_execute_data: return "CMD_EXECUTE_DATA";
    case memory_debug_64: return "MEMORY_DEBUG_64";
    case memory_read_64: return "MEMORY_READ_64";
    case read_data_64: return "READ_DATA_64";
    default: return "UNKNOWN";
    }
}

bool known_mode(std::uint32_t m)
{
    return m == mode_image_transfer || m == mode_memory_debug || m == mode_command;
}

void sleep_ms(unsigned ms)
{
    if (ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

std::uint8_t memory_debug_byte(std::uint64_t address)
{
    constexpr std::uint8_t salt = 0x5a;
    return static_cast<std::uint8_t>((address & 0xff) ^ ((address >> 8) & 0xff) ^ salt);
}

sahara_rom::sahara_rom(device_link& link, const handset_options& opts, transcript& record, fault_plan& faults)
    : link_(link), opts_(opts), record_(record), faults_(faults)
{
}

void sahara_rom::run()
{
    std::uint32_t mode = opts_.sahara_mode;
    for (;;) {
        send_hello(mode);
        const auto next = session(mode);
        if (!next)
            return;
        mode = *next;
    }
}

void sahara_rom::send(const packet& p)
{
    const auto bytes = p.bytes();
    link_.send(bytes.data(), bytes.size());
}

void sahara_rom::send_hello(std::uint32_t mode)
{
    const auto hits = faults_.next("sahara", "hello");
    if (fault_plan::has(hits, "silence"))
        return;
    packet p(hello);
    p.set(w_first, opts_.sahara_version);
    p.set(w_second, opts_.sahara_version_compatible);
    p.set(w_third, max_command_packet);
    p.set(w_fourth, mode);
    if (fault_plan::has(hits, "badlength"))
        p.set(1, bad_hello_length);
    send(p);
}

void sahara_rom::end_of_image(std::uint32_t status)
{
    packet p(sahara::end_of_image);
    p.set(w_first, programmer_image_id);
    p.set(w_second, status);
    send(p);
}

void sahara_rom::do_reset()
{
    send(packet(reset_resp));
    sleep_ms(opts_.reset_delay_ms);
    link_.detach();
    throw unplugged();
}

void sahara_rom::record_packet(const packet& p)
{
    std::string l = "sahara " + name_of(p.id());
    switch (p.id()) {
    case hello_resp:
        l += " version=" + std::to_string(p.word(w_first)) + " compatible=" + std::to_string(p.word(w_second)) +
             " status=" + std::to_string(p.word(w_third)) + " mode=" + std::to_string(p.word(w_fourth));
        break;
    case cmd_switch_mode: l += " mode=" + std::to_string(p.word(w_first)); break;
    case cmd_execute:
    case cmd_execute_data: l += " command=" + std::to_string(p.word(w_first)); break;
    case memory_read: l += " address=" + hex(p.word(w_first)) + " length=" + hex(p.word(w_second)); break;
    case memory_read_64: l += " address=" + hex(p.dword(w_first)) + " length=" + hex(p.dword(w_third)); break;
    default: break;
    }
    record_.line(l);
}

// Reads one host packet (up to the announced max command packet). Packets the
// ROM cannot accept are answered with END_OF_IMAGE and reported as false.
bool sahara_rom::read_packet(packet* out)
{
    unsigned char buf[max_command_packet];
    std::size_t n = 0;
    do {
        bool timed_out = false;
        n = link_.receive(buf, sizeof buf, 0, &timed_out);
    } while (n == 0);  // a lone zero-length packet carries nothing to act on
    const packet p = packet::from_bytes(buf, n);
    std::uint32_t status = status_success;
    if (n < header_bytes)
        status = status_invalid_packet_size;
    else if (packet_length(p.id()) == 0)
        status = status_invalid_command;
    else if (p.length_word() != packet_length(p.id()) || n != p.length_word())
        status = status_invalid_packet_size;
    if (status != status_success) {
        record_.line("sahara bad-packet size=" + std::to_string(n) + " command=" + std::to_string(p.word(0)) +
                     " length=" + std::to_string(p.word(1)));
        end_of_image(status);
        return false;
    }
    record_packet(p);
    *out = p;
    return true;
}

std::optional<std::uint32_t> sahara_rom::session(std::uint32_t announced)
{
    packet p(hello_resp);
    if (!read_packet(&p))
        return idle(announced);
    if (p.id() != hello_resp) {
        // A switch or reset is as welcome here as anywhere else; the rest is out of place.
        if (auto m = common(p, announced))
            return m;
        return idle(announced);
    }
    const std::uint32_t host_version = p.word(w_first);
    const std::uint32_t host_status = p.word(w_third);
    const std::uint32_t mode = p.word(w_fourth);
    if (host_version < opts_.sahara_version_compatible) {
        end_of_image(status_invalid_host_version);
        return idle(announced);
    }
    if (host_status != status_success) {
        end_of_image(status_host_error_in_hello_resp);
        return idle(announced);
    }
    if (!known_mode(mode)) {
        if (mode != announced)
            end_of_image(status_invalid_mode);
        return idle(announced);
    }
    switch (mode) {
    case mode_image_transfer: {
        const result r = load_image();
        switch (r.what) {
        case outcome::loaded: end_of_image(status_success); return wait_done();
        case outcome::failed: end_of_image(r.value); return idle(mode);
        case outcome::silent: return idle(mode);
        case outcome::switched: return r.value;
        }
        return idle(mode);
    }
    case mode_memory_debug: {
        packet d(opts_.sahara_mem64 ? memory_debug_64 : memory_debug);
        if (opts_.sahara_mem64) {
            d.set64(w_first, memory_debug_address);
            d.set64(w_third, memory_debug_length);
        } else {
            d.set(w_first, static_cast<std::uint32_t>(memory_debug_address));
            d.set(w_second, static_cast<std::uint32_t>(memory_debug_length));
        }
        send(d);
        return idle(mode);
    }
    default:
        send(packet(cmd_ready));
        return idle(mode);
    }
}

// Packets every state accepts: RESET, and a mode switch on version 2 and later.
// Returns the new mode for a switch; answers anything else as out of place.
std::optional<std::uint32_t> sahara_rom::common(const packet& p, std::uint32_t mode)
{
    switch (p.id()) {
    case reset: do_reset();
    case cmd_switch_mode:
        if (opts_.sahara_version >= 2)
            return p.word(w_first);
        end_of_image(status_invalid_mode_switch);
        return std::nullopt;
    case memory_read:
    case memory_read_64:
        if (mode != mode_memory_debug) {
            end_of_image(status_invalid_command);
            return std::nullopt;
        }
        if (p.id() == memory_read)
            serve_memory_read(p.word(w_first), p.word(w_second));
        else
            serve_memory_read(p.dword(w_first), p.dword(w_third));
        return std::nullopt;
    case cmd_execute:
    case cmd_execute_data:
        end_of_image(mode == mode_command ? status_unsupported_client_command : status_invalid_command);
        return std::nullopt;
    default: end_of_image(status_invalid_command); return std::nullopt;
    }
}

std::optional<std::uint32_t> sahara_rom::idle(std::uint32_t mode)
{
    for (;;) {
        packet p(reset);
        if (!read_packet(&p))
            continue;
        if (auto m = common(p, mode))
            return m;
    }
}

std::optional<std::uint32_t> sahara_rom::wait_done()
{
    for (;;) {
        packet p(done);
        if (!read_packet(&p))
            continue;
        if (p.id() == done) {
            packet r(done_resp);
            r.set(w_first, status_success);
            send(r);
            return std::nullopt;
        }
        if (auto m = common(p, mode_image_transfer))
            return m;
    }
}

void sahara_rom::serve_memory_read(std::uint64_t address, std::uint64_t length)
{
    const bool inside = address >= memory_debug_address && length > 0 && length <= memory_debug_length &&
                        address - memory_debug_address <= memory_debug_length - length;
    if (!inside) {
        end_of_image(status_invalid_memory_read);
        return;
    }
    std::vector<unsigned char> chunk;
    for (std::uint64_t done_bytes = 0; done_bytes < length;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length - done_bytes, memory_read_chunk));
        chunk.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            chunk[i] = memory_debug_byte(address + done_bytes + i);
        link_.send(chunk.data(), n);
        done_bytes += n;
    }
}

// Pulls the programmer in the order a ROM needs it: ELF header, program
// header table, then every loadable segment in pieces.
sahara_rom::result sahara_rom::load_image()
{
    image_wide_ = false;
    std::vector<unsigned char> buf;
    result r = fetch(0, elf32_header_size, false, &buf);
    if (r.what != outcome::loaded)
        return r;
    if (elf_is64(buf.data(), buf.size())) {
        image_wide_ = true;
        r = fetch(0, elf64_header_size, true, &buf);
        if (r.what != outcome::loaded)
            return r;
    }
    elf_header_info h;
    if (auto c = parse_elf_header(buf.data(), buf.size(), &h); !c.ok())
        return {outcome::failed, c.status};
    r = fetch(h.phoff, static_cast<std::uint32_t>(h.program_headers_bytes()), image_wide_, &buf);
    if (r.what != outcome::loaded)
        return r;
    std::vector<elf_load_range> ranges;
    if (auto c = parse_program_headers(h, buf.data(), buf.size(), &ranges); !c.ok())
        return {outcome::failed, c.status};
    for (const auto& range : ranges) {
        for (std::uint64_t off = 0; off < range.size;) {
            const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(range.size - off, image_chunk_bytes));
            r = fetch(range.offset + off, n, image_wide_, &buf);
            if (r.what != outcome::loaded)
                return r;
            off += n;
        }
    }
    for (const auto& f : opts_.faults)
        if (f.where == "sahara" && f.what == "image" && f.kind == "status" && f.nth == 0)
            return {outcome::failed, static_cast<std::uint32_t>(std::stoul(f.value, nullptr, 0))};
    return {};
}

// One read request and its answer: exactly `count` bytes in one host write.
sahara_rom::result sahara_rom::fetch(std::uint64_t offset, std::uint32_t count, bool wide,
                                     std::vector<unsigned char>* out)
{
    const auto image_hits = faults_.next("sahara", "image");
    for (const auto& f : image_hits)
        if (f.kind == "status" && f.nth != 0)
            return {outcome::failed, static_cast<std::uint32_t>(std::stoul(f.value, nullptr, 0))};
    const auto hits = faults_.next("sahara", "read");
    if (fault_plan::has(hits, "silence"))
        return {outcome::silent, 0};
    if (fault_plan::has(hits, "beyond"))
        offset = wide ? beyond_offset64 : beyond_offset32;

    packet req(wide ? read_data_64 : read_data);
    if (wide) {
        req.set64(w_first, programmer_image_id);
        req.set64(w_third, offset);
        req.set64(w_third + 2, count);
    } else {
        req.set(w_first, programmer_image_id);
        req.set(w_second, static_cast<std::uint32_t>(offset));
        req.set(w_third, count);
    }
    send(req);

    out->assign(count, 0);
    std::size_t n = 0;
    bool timed_out = false;
    do {
        n = link_.receive(out->data(), count, opts_.data_timeout_ms, &timed_out);
    } while (n == 0 && !timed_out);  // skip a zero-length packet that ended an earlier write
    if (n == 0)
        return {outcome::failed, status_data_timeout};
    if (n != count) {
        // Not image data: perhaps the host chose to switch modes or reset instead.
        const packet p = packet::from_bytes(out->data(), n);
        const bool command = n >= header_bytes && packet_length(p.id()) == n && p.length_word() == n &&
                             (p.id() == reset || p.id() == cmd_switch_mode);
        if (command) {
            record_packet(p);
            if (auto m = common(p, mode_image_transfer))
                return {outcome::switched, *m};
            return {outcome::silent, 0};
        }
        record_.line("sahara data offset=" + std::to_string(offset) + " length=" + std::to_string(n));
        return {outcome::failed, status_invalid_reception_length};
    }
    record_.line("sahara data offset=" + std::to_string(offset) + " length=" + std::to_string(n));
    return {};
}

} // namespace vhandset
