#include "firehose.h"

#include "firehose_request.h"
#include "file.h"
#include "log.h"
#include "memory_type.h"
#include "piece_pipeline.h"
#include "text_names.h"
#include "xml.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

// The handshake (greeting, ping, configure) and the queries answer within
// milliseconds; a programmer silent for this long at the handshake is not there.
constexpr std::uint32_t pipe_timeout_ms = 500;
// Writes into storage answer late: a programmer flushes a large raw write before
// it closes the phase (well over a second on eMMC), and patches and power
// commands touch storage too. Thirty seconds covers slow parts with a wide
// margin, while an unplugged handset still fails at once (ENODEV, not a time-out).
constexpr std::uint32_t storage_timeout_ms = 30000;
// A ping that may have reached the programmer twice is followed by this much
// silence, to drop a second acknowledgement.
constexpr std::uint32_t settle_drain_ms = 20;
// A programmer sends its start-up lines at once; this much silence ends them.
constexpr std::uint32_t greeting_silence_ms = 20;
// While a programmer starts, its ping is sent again after this long untaken.
constexpr std::uint32_t start_ping_ms = 50;


// Received bytes not yet handed out as a document. Programmers send documents of
// up to their MaxXMLSizeInBytes (4096 in the field), several per transfer; the
// receive size of the USB layer is 64 KiB. Past this, the peer is not speaking
// Firehose.
constexpr std::size_t receive_bytes = 65536;
constexpr std::size_t rx_capacity = 4 * receive_bytes;
// A document ends with the first "/data" and the character after it (the ">").
constexpr char document_end[] = "/data";
constexpr std::size_t document_end_bytes = sizeof document_end;  // "/data" plus ">"

// The bounds of a programmer's counter-proposal of the payload size.
constexpr std::uint64_t min_proposed_payload = 4096;
constexpr std::uint64_t max_proposed_payload = 2147483648u;

// A raw read whose data does not arrive is asked for again, but not for ever.
constexpr unsigned max_read_attempts = 3;
// read_to_file holds at most this many sectors in memory.
constexpr std::uint32_t file_read_sectors = 2048;
constexpr std::uint32_t min_poke_bytes = 1;
constexpr std::uint32_t max_poke_bytes = 8;
constexpr std::uint64_t sector_number_limit = std::uint64_t{1} << 32;
// The data phase reads its source and writes the USB pipe in pieces of the
// negotiated payload size; a 2 GiB proposal must not become a 2 GiB buffer.
constexpr std::uint32_t max_piece_bytes = 16u << 20;

constexpr char ack[] = "ACK";
constexpr char raw_on[] = "true";
constexpr char raw_off[] = "false";

// Every request is one of these elements inside the same frame (firehose_request).
constexpr char caller_element[] = "%s";
constexpr char nop_element[] = "<nop value=\"%s\"/>";
constexpr char power_element[] = "<power value=\"%s\"/>";
constexpr char peek_element[] = "<peek address64=\"0x%lx\" size_in_bytes=\"%u\"/>";
constexpr char poke_element[] = "<poke address64=\"0x%lx\" size_in_bytes=\"%u\" value=\"0x%s\"/>";
constexpr char num_disk_sectors_element[] = "<getnumdisksectors physical_partition_number=\"%u\"/>";
constexpr char storage_info_element[] = "<getStorageInfo physical_partition_number=\"%u\"/>";
constexpr char benchmark_element[] = "<benchmark trials=\"%u\" TestWritePerformance=\"1\"/>";
constexpr char read_element[] = "<read SECTOR_SIZE_IN_BYTES=\"%u\" num_partition_sectors=\"%u\" "
                                 "physical_partition_number=\"%u\" start_sector=\"%u\"/>";
constexpr char program_element_format[] = "<program SECTOR_SIZE_IN_BYTES=\"%u\" num_partition_sectors=\"%u\" "
                                          "physical_partition_number=\"%u\" start_sector=\"%u\" read_back_verify=\"0\"/>";
constexpr char configure_element[] =
    "<configure ZLPAwareHost=\"0\" SkipStorageInit=\"0\" MemoryName=\"%s\" SkipWrite=\"%d\" "
    "MaxPayloadSizeToTargetInBytes=\"%u\" MaxPayloadSizeFromTargetInBytes=\"%u\"/>";

// The configure reply's slots, in this order.
enum configure_slot : std::size_t {
    cfg_value,
    cfg_min_version,
    cfg_version,
    cfg_target_name,
    cfg_payload_to_target,
    cfg_payload_from_target,
    cfg_payload_to_target_supported,
    cfg_max_xml_size,
    cfg_memory_name,
    configure_slot_count,
};
constexpr const char* configure_slot_names[configure_slot_count] = {
    "value",
    "MinVersionSupported",
    "Version",
    "TargetName",
    "MaxPayloadSizeToTargetInBytes",
    "MaxPayloadSizeFromTargetInBytes",
    "MaxPayloadSizeToTargetInBytesSupported",
    "MaxXMLSizeInBytes",
    "MemoryName",
};

// Response numbers follow strtoul in base 0 (decimal, 0x hexadecimal, 0 octal).
// Missing, non-numeric, negative or wider-than-64-bit values read as 0.
std::uint64_t read_number64(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n\f\v");
    if (first == std::string::npos || text[first] == '-')
        return 0;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 0);
    return errno == ERANGE ? 0 : v;
}

// As read_number64, and wider-than-32-bit values read as 0 too, so a huge
// value can never wrap round into a plausible small one.
std::uint32_t read_number(const std::string& text)
{
    const std::uint64_t v = read_number64(text);
    return v > UINT32_MAX ? 0 : static_cast<std::uint32_t>(v);
}

// A log element without a value logs an empty line rather than nothing.
std::string log_programmer_line(xmlNode* node)
{
    std::string text = xml_attribute(node, "value");
    log_info("log: %s\n", printable_name(text).c_str());
    return text;
}

// One document cut from the programmer's output and its root-level "data"
// element (stored in *data).
xml_document data_document(const std::string& text, xmlNode** data)
{
    // A line break after one document's closing tag arrives in front of the
    // next; an XML declaration must come first, so leading blanks are skipped.
    std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        begin = text.size();
    xml_document doc = read_xml(text.data() + begin, text.size() - begin);
    *data = find_top_element(doc, "data");
    if (*data == nullptr)
        throw std::runtime_error("unable to find xml document");
    return doc;
}

// Sector numbers travel as 32-bit decimals; a range past them would wrap to sector 0.
void check_sector_range(std::uint32_t start, std::uint64_t count)
{
    if (start + count > sector_number_limit)
        throw std::runtime_error("firehose: sector range beyond 32-bit sector numbers");
}

// Sector counts travel as 32-bit decimals.
std::uint64_t whole_sectors_64(std::uint64_t size, std::uint32_t sector_size)
{
    if (size % sector_size != 0)
        throw std::runtime_error("attempt to write partial sector");
    if (size / sector_size > UINT32_MAX)
        throw std::runtime_error("firehose: more than 4294967295 sectors in one command");
    return size / sector_size;
}

// A caller's memory as a byte source.
class memory_source : public byte_source {
public:
    memory_source(const std::uint8_t* data, std::uint64_t size) : data_(data), left_(size) {}
    std::size_t read(std::uint8_t* out, std::size_t len) override
    {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(len, left_));
        std::memcpy(out, data_, n);
        data_ += n;
        left_ -= n;
        return n;
    }

private:
    const std::uint8_t* data_;
    std::uint64_t left_;
};

// Restores the pipe's time-out when the scope ends, also on an exception.
class timeout_scope {
public:
    timeout_scope(transport& port, std::uint32_t ms) : port_(port), saved_(port.timeout()) { port_.set_timeout(ms); }
    timeout_scope(const timeout_scope&) = delete;
    timeout_scope& operator=(const timeout_scope&) = delete;
    ~timeout_scope()
    {
        try {
            port_.set_timeout(saved_);
        } catch (const std::runtime_error&) {
            // The pipe is gone; the next use reports that.
        }
    }

private:
    transport& port_;
    std::uint32_t saved_;
};

} // namespace

firehose_refusal::firehose_refusal(const std::string& text, const std::string& reason)
    : std::runtime_error(reason.empty() ? text : text + " (programmer: " + printable_name(reason) + ")"), reason_(reason)
{
}

void firehose::document_deleter::operator()(_xmlDoc* doc) const
{
    xmlFreeDoc(doc);
}

void firehose::open(transport& link, bool skip_write, std::uint32_t memory_type, std::uint32_t sector_size,
                    const firehose_options& options)
{
    // Every sector count below divides by it.
    if (sector_size == 0)
        throw std::runtime_error("firehose: sector size of 0");
    port_ = &link;
    sector_size_ = sector_size;
    physical_partition_ = 0;
    max_payload_from_target_ = 0;
    piece_bytes_ = 0;
    rx_.clear();
    last_log_.clear();
    storage_touched_ = false;
    verbs_.clear();
    verbs_known_ = false;

    // The programmer's start-up messages: read until it falls silent (or a
    // document that is not one). Lines that are still on their way are read,
    // as logs, before the next response.
    port_->set_timeout(greeting_silence_ms);
    for (;;) {
        xmlNode* data = nullptr;
        try {
            const xml_document doc = data_document(cut_document(), &data);
            for (xmlNode* child = data->children; child != nullptr; child = child->next)
                if (is_xml_element(child, "log"))
                    note_log(log_programmer_line(child));
        } catch (const std::runtime_error&) {
            break;
        }
    }
    port_->set_timeout(pipe_timeout_ms);

    first_ping(options.start_wait_ms);

    const char* memory_name = memory_type_name(memory_type);
    slot reply[configure_slot_count];
    for (std::size_t i = 0; i < configure_slot_count; ++i)
        reply[i].name = configure_slot_names[i];
    std::uint32_t proposal = options.max_payload_to_target;
    configure(memory_name, skip_write, proposal, options.max_payload_from_target, reply);
    if (reply[cfg_value].value != ack) {
        // The programmer refused and proposes the payload size it takes; one
        // renegotiation only.
        proposal = read_number(reply[cfg_payload_to_target].value);
        if (proposal < min_proposed_payload || proposal > max_proposed_payload)
            refuse("payload size out of bounds");
        configure(memory_name, skip_write, proposal, options.max_payload_from_target, reply);
        if (reply[cfg_value].value != ack)
            refuse("no ack from target");
    }
    if (read_number(reply[cfg_min_version].value) == 0)
        refuse("target version unsupported");
    max_payload_from_target_ = read_number(reply[cfg_payload_from_target].value);
    // Acknowledgements seen in the wild leave MaxPayloadSizeFromTargetInBytes
    // out; the programmer then sends what this host asked for in the configure.
    if (max_payload_from_target_ == 0)
        max_payload_from_target_ = options.max_payload_from_target;

    // The acknowledgement states the size it settled on; it never exceeds the
    // proposal, and a missing or nonsensical one leaves the proposal standing.
    std::uint32_t payload = proposal;
    const std::uint32_t accepted = read_number(reply[cfg_payload_to_target].value);
    if (accepted != 0 && accepted < payload)
        payload = accepted;
    payload = std::min(payload, max_piece_bytes);
    piece_bytes_ = options.sector_writes ? sector_size_ : std::max(payload / sector_size_, 1u) * sector_size_;
}

bool firehose::probe(transport& link)
{
    port_ = &link;
    port_->set_timeout(pipe_timeout_ms);
    rx_.clear();
    last_log_.clear();
    verbs_.clear();
    verbs_known_ = false;
    try {
        // Whatever the last session left in the pipe goes first.
        discard_input();
        nop("ping");
        return true;
    } catch (const std::runtime_error&) {
        port_ = nullptr;
        return false;
    }
}

void firehose::first_ping(std::uint32_t wait_ms)
{
    if (wait_ms == 0) {
        nop("ping");
        return;
    }
    // A starting programmer does not take requests yet: the write is not
    // taken and times out, and the ping is sent again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    bool repeated = false;
    for (;;) {
        try {
            const timeout_scope poll(link(), start_ping_ms);
            send(firehose_request(nop_element, "ping"));
            break;
        } catch (const link_error& e) {
            if (e.error() != ETIMEDOUT || std::chrono::steady_clock::now() >= deadline)
                throw;
            repeated = true;
        }
    }
    expect_ack();
    if (repeated) {
        // A ping reported as timed out may still have reached the programmer
        // at the last moment: its second acknowledgement must not answer the
        // configure.
        const timeout_scope quick(link(), settle_drain_ms);
        discard_input();
    }
}

void firehose::configure(const char* memory_name, bool skip_write, std::uint32_t payload_to_target,
                         std::uint32_t payload_from_target, slot* slots)
{
    send(firehose_request(configure_element, memory_name, skip_write ? 1 : 0, payload_to_target, payload_from_target));
    receive_response(slots, configure_slot_count);
}

void firehose::close()
{
    port_ = nullptr;
}

transport& firehose::link()
{
    if (port_ == nullptr)
        throw std::runtime_error("firehose: not open");
    return *port_;
}

void firehose::send(const std::string& request)
{
    if (request.size() > firehose_request_max_chars)
        firehose_request_too_long();
    last_log_.clear();
    response_logs_.clear();
    link().write(request.data(), request.size());
    log_at(2, "firehose >>> %s\n", request.c_str());
}

void firehose::refuse(const char* text) const
{
    throw firehose_refusal(text, last_log_);
}

std::string firehose::cut_document()
{
    for (;;) {
        const std::size_t end = rx_.find(document_end);
        if (end != std::string::npos && rx_.size() >= end + document_end_bytes) {
            std::string doc = rx_.substr(0, end + document_end_bytes);
            rx_.erase(0, end + document_end_bytes);
            log_at(2, "firehose <<< %s\n", doc.c_str());
            return doc;
        }
        // A document this long without an end is not a Firehose document:
        // a peer that speaks something else, or raw data and replies that
        // got out of step when a transfer was lost.
        if (rx_.size() >= rx_capacity)
            throw std::runtime_error("firehose: no reply from the programmer could be read (" +
                                     std::to_string(rx_.size()) + " bytes without the end of a document)");
        // A whole USB transfer at a time; a time-out leaves what rx holds for
        // the next attempt.
        buffer received;
        try {
            received = read_transfer(link(), receive_bytes);
        } catch (const link_error& e) {
            // Silence after bytes that never formed a document: what came is
            // the news, not the time-out. It is no refusal either: the
            // programmer said nothing readable, so what it did is unknown.
            // Its bytes are escaped, as they reach the user's terminal.
            const std::size_t text = rx_.find_first_not_of(" \t\r\n");
            if (e.error() != ETIMEDOUT || text == std::string::npos)
                throw;
            throw std::runtime_error("firehose: unreadable reply from the programmer (\"" +
                                     printable_name(rx_.substr(text, 60)) + "\")");
        }
        rx_.append(reinterpret_cast<const char*>(received.c_ptr()), static_cast<std::size_t>(received.size()));
    }
}

void firehose::receive_response(slot* slots, std::size_t count)
{
    for (;;) {
        xmlNode* data = nullptr;
        const xml_document doc = data_document(cut_document(), &data);
        for (xmlNode* child = data->children; child != nullptr; child = child->next) {
            if (is_xml_element(child, "log")) {
                last_log_ = log_programmer_line(child);
                note_log(last_log_);
            } else if (is_xml_element(child, "response")) {
                // Log lines after the response belong to no one and are not read.
                for (std::size_t i = 0; i < count; ++i)
                    slots[i].value = xml_attribute(child, slots[i].name);
                return;
            }
        }
    }
}

void firehose::expect_ack()
{
    slot value{"value", {}};
    receive_response(&value, 1);
    if (value.value != ack)
        refuse("no ack from target");
}

void firehose::receive_slow_response(slot* slots, std::size_t count)
{
    const timeout_scope slow(link(), storage_timeout_ms);
    receive_response(slots, count);
}

void firehose::expect_slow_ack()
{
    const timeout_scope slow(link(), storage_timeout_ms);
    expect_ack();
}

void firehose::receive_response_within(std::uint32_t timeout_ms, slot* slots, std::size_t count)
{
    const timeout_scope wait(link(), std::max(timeout_ms, storage_timeout_ms));
    receive_response(slots, count);
}

void firehose::discard_input()
{
    drain(link());
    rx_.clear();
}

void firehose::nop(const std::string& value)
{
    send(firehose_request(nop_element, value.c_str()));
    expect_ack();
}

void firehose::power(const std::string& value)
{
    send(firehose_request(power_element, value.c_str()));
    expect_slow_ack();
}

void firehose::command(const std::string& element)
{
    storage_touched_ = true;  // a patch, or anything else a caller sends
    send(firehose_request(caller_element, element.c_str()));
    expect_slow_ack();
}

buffer firehose::peek(std::uint64_t address, std::uint32_t size)
{
    // The programmer shows the memory only in its log lines, which
    // receive_response logs; nothing comes back in the response itself.
    send(firehose_request(peek_element, static_cast<unsigned long>(address), size));
    expect_ack();
    return buffer();
}

void firehose::poke(std::uint64_t address, std::uint32_t size, const std::string& hex_value)
{
    if (size < min_poke_bytes || size > max_poke_bytes)
        throw std::runtime_error("bad parameters to poke");
    storage_touched_ = true;
    send(firehose_request(poke_element, static_cast<unsigned long>(address), size, hex_value.c_str()));
    expect_ack();
}

void firehose::benchmark(std::uint32_t trials)
{
    send(firehose_request(benchmark_element, trials));
    expect_ack();
}

std::uint64_t firehose::num_disk_sectors()
{
    send(firehose_request(num_disk_sectors_element, physical_partition_));
    slot sectors{"NumDiskSectors", {}};
    receive_response(&sectors, 1);
    return read_number64(sectors.value);
}

std::uint64_t firehose::total_logical_blocks()
{
    send(firehose_request(storage_info_element, physical_partition_));
    slot blocks{"TotalLogicalBlocks", {}};
    receive_response(&blocks, 1);
    return read_number64(blocks.value);
}

void firehose::send_raw_request(const std::string& request)
{
    send(request);
    slot reply[] = {{"value", {}}, {"rawmode", {}}};
    receive_response(reply, 2);
    if (reply[0].value != ack)
        refuse("no ack from target");
    if (reply[1].value != raw_on)
        refuse("no rawmode from target");
}

buffer firehose::read(std::uint32_t start_sector, std::uint32_t sectors)
{
    check_sector_range(start_sector, sectors);
    buffer result;
    if (sectors == 0)
        return result;
    if (max_payload_from_target_ / sector_size_ == 0)
        throw std::runtime_error("target payload size too small for a sector");
    result.reserve(std::uint64_t{sector_size_} * sectors);
    read(start_sector, sectors, [&result](const std::uint8_t* data, std::size_t size) { result.enqueue(data, size); });
    return result;
}

void firehose::read(std::uint32_t start_sector, std::uint32_t sectors, const data_sink& sink)
{
    check_sector_range(start_sector, sectors);
    if (sectors == 0)
        return;
    // Each request may ask for no more than the programmer agreed to send at once.
    const std::uint32_t sectors_per_request = max_payload_from_target_ / sector_size_;
    if (sectors_per_request == 0)
        throw std::runtime_error("target payload size too small for a sector");

    unsigned attempts = 0;
    while (sectors > 0) {
        const std::uint32_t chunk = std::min(sectors, sectors_per_request);
        const std::size_t bytes = std::size_t{sector_size_} * chunk;
        send_raw_request(firehose_request(read_element, sector_size_, chunk, physical_partition_, start_sector));
        buffer data;
        try {
            data = read_exact(link(), bytes);
        } catch (const std::runtime_error&) {
            // Usually the data stalled: resynchronise and ask for this chunk
            // again. A programmer that never delivers must not hang the host.
            if (++attempts >= max_read_attempts)
                throw;
            log_error("firehose: timeout, retry\n");
            discard_input();
            continue;
        }
        attempts = 0;
        sink(data.c_ptr(), static_cast<std::size_t>(data.size()));
        expect_ack();
        start_sector += chunk;
        sectors -= chunk;
    }
}

void firehose::read_to_file(std::uint32_t start_sector, std::uint32_t sectors, const std::string& path)
{
    check_sector_range(start_sector, sectors);
    file out;
    out.create(path, false);
    for (std::uint64_t done = 0; done < sectors; done += file_read_sectors) {
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(file_read_sectors, sectors - done));
        const buffer data = read(start_sector + static_cast<std::uint32_t>(done), count);
        if (out.write(data) != data.size())
            throw std::runtime_error("failed to write");
    }
    out.close();
}

void firehose::program_request(const std::string& request, byte_source& data, std::uint64_t size,
                               const data_progress& on_piece, bool settle)
{
    // Only a clear no leaves the storage as it was: after silence or an
    // unreadable answer the programmer may have begun.
    const bool touched_before = storage_touched_;
    storage_touched_ = true;
    try {
        send_raw_request(request);
    } catch (const firehose_refusal&) {
        storage_touched_ = touched_before;
        throw;
    }
    log_info("Write %llu bytes, %llu sectors\n", static_cast<unsigned long long>(size),
             static_cast<unsigned long long>(size / sector_size_));
    {
        // Pieces of the negotiated payload size, each a whole number of
        // sectors (the last one shorter); once the source runs dry the rest of
        // the partition is zeros. The next piece is read while one crosses.
        const timeout_scope slow(link(), storage_timeout_ms);
        piece_pipeline pieces(data, size, piece_bytes_ != 0 ? piece_bytes_ : sector_size_);
        // A piece counts as done once the one after it is asked for: by then
        // it is on its way.
        std::uint64_t handed = 0;
        std::uint64_t done = 0;
        link().write_stream([&]() {
            if (on_piece && handed != done)
                on_piece(done = handed);
            const piece_pipeline::piece p = pieces.next();
            handed += p.size;
            return write_piece{p.data, p.size};
        });
        if (on_piece && handed != done)
            on_piece(handed);
    }

    slot reply[] = {{"value", {}}, {"rawmode", {}}};
    receive_slow_response(reply, 2);
    if (reply[0].value != ack)
        refuse("no ack from target");
    if (reply[1].value != raw_off)
        refuse("no rawmode from target");
    if (!settle)
        return;
    // The link is in step again once the ping is answered. What the
    // programmer says after that can only be log lines, which the next
    // response reads; waiting here for silence cost 20 ms per partition.
    nop("ping");
}

void firehose::program(std::uint32_t start_sector, byte_source& data, std::uint64_t size,
                       const data_progress& on_piece)
{
    const std::uint64_t sectors = whole_sectors_64(size, sector_size_);
    check_sector_range(start_sector, sectors);
    program_request(firehose_request(program_element_format, sector_size_, static_cast<std::uint32_t>(sectors),
                                 physical_partition_, start_sector),
                    data, size, on_piece);
}

void firehose::program_element(const std::string& element, byte_source& data, std::uint64_t size,
                               const data_progress& on_piece, bool settle)
{
    whole_sectors_64(size, sector_size_);
    // The element's own attributes say where the data goes; the host adds only the data.
    program_request(firehose_request(caller_element, element.c_str()), data, size, on_piece, settle);
}

void firehose::program(std::uint32_t start_sector, const std::uint8_t* data, std::uint32_t size)
{
    memory_source source(data, size);
    program(start_sector, source, size);
}

void firehose::program(std::uint32_t start_sector, const buffer& data)
{
    memory_source source(data.c_ptr(), data.size());
    program(start_sector, source, data.size());
}

void firehose::program(std::uint32_t start_sector, const std::string& path)
{
    const file_mapping image(path);
    memory_source source(image.data(), image.size());
    program(start_sector, source, image.size());
}

void firehose::program_element(const std::string& element, const std::uint8_t* data, std::uint32_t size)
{
    memory_source source(data, size);
    program_element(element, source, size);
}

void firehose::program_element(const std::string& element, const buffer& data)
{
    memory_source source(data.c_ptr(), data.size());
    program_element(element, source, data.size());
}

void firehose::program_element(const std::string& element, const std::string& path)
{
    const file_mapping image(path);
    memory_source source(image.data(), image.size());
    program_element(element, source, image.size());
}
