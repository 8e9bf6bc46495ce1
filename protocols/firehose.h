// Host side of the Firehose protocol spoken by the flash programmer: XML
// requests, XML documents in return (log lines and one response per request),
// and raw-mode sector data. Every failure throws std::runtime_error; port
// errors (time-out, broken link) pass through with the port's own text, while a
// refusal by the programmer reads "no ack from target" (or another fixed text).
#pragma once

#include "buffer.h"
#include "usbport.h"

#include <cstdint>
#include <memory>
#include <string>

struct _xmlDoc;
struct _xmlNode;

class firehose {
public:
    // One attribute slot of a response query.
    struct slot {
        const char* name;
        std::string value;
    };

    firehose() = default;

    // Opens the pipe, reads the programmer's greeting, pings and configures
    // (with one renegotiation of the payload size when the programmer asks).
    void open(int device_handle, bool skip_write, std::uint32_t memory_type, std::uint32_t sector_size);
    void close();

    // Requests are at most 1023 characters; a longer one is refused, never cut.
    void send(const std::string& request);
    // Reads documents until one holds a response; fills the slots from it.
    void receive_response(slot* slots, std::size_t count);
    void expect_ack();
    void discard_input();

    // Commands.
    void nop(const std::string& value);
    void power(const std::string& value);
    void command(const std::string& element);
    buffer peek(std::uint64_t address, std::uint32_t size);
    void poke(std::uint64_t address, std::uint32_t size, const std::string& hex_value);
    void benchmark(std::uint32_t trials);
    std::uint32_t num_disk_sectors();
    std::uint32_t total_logical_blocks();
    void set_physical_partition(std::uint32_t n) { physical_partition_ = n; }
    buffer read(std::uint32_t start_sector, std::uint32_t sectors);
    void read_to_file(std::uint32_t start_sector, std::uint32_t sectors, const std::string& path);
    void program(std::uint32_t start_sector, const std::uint8_t* data, std::uint32_t size);
    void program(std::uint32_t start_sector, const buffer& data);
    void program(std::uint32_t start_sector, const std::string& path);
    void program_element(const std::string& element, const std::uint8_t* data, std::uint32_t size);
    void program_element(const std::string& element, const buffer& data);
    void program_element(const std::string& element, const std::string& path);

    std::uint32_t sector_size() const { return sector_size_; }
    std::uint32_t max_payload_from_target() const { return max_payload_from_target_; }

private:
    struct document_deleter {
        void operator()(_xmlDoc* doc) const;
    };
    using document = std::unique_ptr<_xmlDoc, document_deleter>;

    // Takes the next complete document off the front of rx, reading as needed.
    std::string cut_document();
    // The next document and its root-level "data" element (stored in *data).
    document receive_document(_xmlNode** data);
    // One configure request; fills the nine configure slots from the reply.
    void configure(const char* memory_name, bool skip_write, std::uint32_t payload_to_target, slot* slots);
    // A request whose acknowledgement opens raw mode ("value" ACK, "rawmode" true).
    void send_raw_request(const std::string& request);
    // Sends a program request, the data one sector per write, and checks the close.
    void program_request(const std::string& request, const std::uint8_t* data, std::uint32_t size);

    usbport port_;
    std::uint32_t sector_size_ = 0;
    std::uint32_t physical_partition_ = 0;
    std::uint32_t max_payload_from_target_ = 0;
    std::string rx_;
};
