// Host side of the Firehose protocol spoken by the flash programmer: XML
// requests, XML documents in return (log lines and one response per request),
// and raw-mode sector data. Every failure throws std::runtime_error. The two
// kinds stay apart: link errors (time-out, broken link) pass through as the
// link's link_error, while a refusal by the programmer is
// a firehose_refusal reading "no ack from target" (or another fixed text),
// followed by the programmer's own log line when it gave one since the request.
#pragma once

#include "buffer.h"
#include "byte_source.h"
#include "firehose_request.h"
#include "transport.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// The handset answered, and said no.
class firehose_refusal : public std::runtime_error {
public:
    // what() is the fixed text, then " (programmer: <reason>)" when there is one.
    firehose_refusal(const std::string& text, const std::string& reason);
    const std::string& reason() const { return reason_; }

private:
    std::string reason_;
};

struct firehose_options {
    // Proposed in the first configure as MaxPayloadSizeToTargetInBytes; the raw
    // data phase then writes pieces of up to what the programmer accepted.
    std::uint32_t max_payload_to_target = 1048576;
    // One sector per USB write in the data phase, whatever the payload size.
    bool sector_writes = false;
    // Proposed as MaxPayloadSizeFromTargetInBytes: the most a read request
    // asks for, as the programmer confirms it; also what reads assume when
    // its acknowledgement leaves the size out.
    std::uint32_t max_payload_from_target = 16384;
    // A programmer just uploaded may still be starting: open() sends its ping
    // again while the programmer does not take it, for up to this many
    // milliseconds, and goes on as soon as the programmer answers. 0: the
    // programmer runs already (one ping, the handshake time-out).
    std::uint32_t start_wait_ms = 0;
};

// Called during a raw data phase with the bytes of the phase done so far.
using data_progress = std::function<void(std::uint64_t bytes_done)>;
// Called during a raw read with each piece that arrived, in order.
using data_sink = std::function<void(const std::uint8_t* data, std::size_t size)>;

// What a programmer reports about one LUN (getStorageInfo). Fields it did not
// report are 0 or empty.
struct firehose_storage_info {
    std::uint64_t total_blocks = 0;  // sectors of the LUN
    std::uint32_t block_size = 0;    // bytes per sector
    std::uint32_t page_size = 0;
    std::uint32_t num_physical = 0;  // LUNs of the storage
    std::string mem_type;            // as the programmer spells it ("UFS", "eMMC")
    std::string prod_name;
};

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

    // Speaks through link (borrowed until close): reads the programmer's
    // greeting (what has arrived, until a short silence: a start-up line that
    // comes later is read before the next response), pings and configures
    // (with one renegotiation of the payload size when the programmer asks).
    void open(transport& link, bool skip_write, std::uint32_t memory_type, std::uint32_t sector_size,
              const firehose_options& options = {});
    // Answers whether a programmer is already running behind link: true when a
    // nop is acknowledged within the handshake time-out (the link is then kept
    // as by open, unconfigured). Nothing else is sent.
    bool probe(transport& link);
    // Lets go of the link; the link itself stays open.
    void close();

    // Requests are at most 1023 characters; a longer one is refused, never cut.
    void send(const std::string& request);
    // Whether a caller's element, framed as a request, stays within that limit.
    static bool element_fits(const std::string& element) { return firehose_element_fits(element); }
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
    // Sectors of the current LUN as the programmer tells them (64 bits: disks
    // of 2^32 sectors and more exist); 0 when it does not.
    std::uint64_t num_disk_sectors();
    std::uint64_t total_logical_blocks();
    void set_physical_partition(std::uint32_t n) { physical_partition_ = n; }
    buffer read(std::uint32_t start_sector, std::uint32_t sectors);
    // The same sectors handed to sink piece by piece (at most the target's
    // payload size each), so nothing of their size is held in memory.
    void read(std::uint32_t start_sector, std::uint32_t sectors, const data_sink& sink);
    void read_to_file(std::uint32_t start_sector, std::uint32_t sectors, const std::string& path);
    void program(std::uint32_t start_sector, const std::uint8_t* data, std::uint32_t size);
    void program(std::uint32_t start_sector, const buffer& data);
    void program(std::uint32_t start_sector, const std::string& path);
    void program_element(const std::string& element, const std::uint8_t* data, std::uint32_t size);
    void program_element(const std::string& element, const buffer& data);
    void program_element(const std::string& element, const std::string& path);
    // Streaming forms: size bytes (a whole number of sectors, at most 2^32 - 1
    // sectors) pulled from data in pieces; once data ends, zeros up to size.
    // After the data the link is brought in step (a ping answered); settle
    // false leaves that to the next program of a batch (the runs of one sparse
    // image).
    void program(std::uint32_t start_sector, byte_source& data, std::uint64_t size,
                 const data_progress& on_piece = {});
    void program_element(const std::string& element, byte_source& data, std::uint64_t size,
                         const data_progress& on_piece = {}, bool settle = true);

    // ---- Further verbs (firehose_verbs.cpp) ----
    // Whether the programmer offers `verb` (any case), by the "Supported
    // Functions:" log line it sends at start-up and in every nop answer; the
    // latest line counts. Before any such line the list is unknown and only
    // configure, program, read, patch, nop and power count as offered: the
    // verbs every programmer answers, so an unlisted one is never sent.
    bool supports(const std::string& verb) const;
    bool verbs_known() const { return verbs_known_; }
    // Each of these sends one request on `lun` (the physical partition set
    // for the other commands stays as it was). Each throws std::runtime_error
    // "firehose: the programmer does not offer <verb>" before sending when
    // supports() says no, firehose_refusal "no ack from target" when the
    // programmer refuses, and the link's error on silence. Hashing and erasing
    // take the programmer a while: they wait for the answer in proportion to
    // the sectors touched, beyond the storage time-out.
    //
    // SHA-256 of `sectors` sectors from start_sector as the programmer reads
    // them (getsha256digest, answered by a log line "Digest 0x<64 hex digits>"
    // before the ACK); "firehose: no digest in the programmer's answer" when
    // it acknowledged without one.
    std::array<std::uint8_t, 32> sha256_digest(std::uint32_t lun, std::uint64_t start_sector, std::uint64_t sectors);
    // Erases (the programmer zeroes or unmaps) a sector range, or the whole LUN.
    void erase(std::uint32_t lun, std::uint64_t start_sector, std::uint64_t sectors);
    void erase_lun(std::uint32_t lun);
    // The LUN the boot ROM boots from (setbootablestoragedrive).
    void set_bootable_storage_drive(std::uint32_t lun);
    // The programmer's report on `lun` (getStorageInfo): read from its JSON log
    // line {"storage_info": {...}}, else its "total_blocks=N block_size=N ..."
    // line, else the response's TotalLogicalBlocks alone.
    firehose_storage_info storage_info(std::uint32_t lun);

    // Whether anything sent since open() may have changed the handset's
    // storage: a program the programmer did not refuse outright, or an
    // erase, patch or other caller's command, poke or bootable-drive change
    // (counted once sent, refused or not).
    bool storage_touched() const { return storage_touched_; }

    std::uint32_t sector_size() const { return sector_size_; }
    std::uint32_t max_payload_from_target() const { return max_payload_from_target_; }
    // Bytes per USB write in the raw data phase, as negotiated (whole sectors).
    std::uint32_t data_piece_bytes() const { return piece_bytes_; }

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
    void configure(const char* memory_name, bool skip_write, std::uint32_t payload_to_target,
                   std::uint32_t payload_from_target, slot* slots);
    // The ping of open(), repeated for up to wait_ms while the programmer
    // does not take it.
    void first_ping(std::uint32_t wait_ms);
    // A request whose acknowledgement opens raw mode ("value" ACK, "rawmode" true).
    void send_raw_request(const std::string& request);
    // Sends a program request, the data in negotiated pieces, and checks the close.
    void program_request(const std::string& request, byte_source& data, std::uint64_t size,
                         const data_progress& on_piece, bool settle = true);
    // The response that closes a raw phase, a patch or a power command: real
    // storage may take seconds before it answers.
    void receive_slow_response(slot* slots, std::size_t count);
    void expect_slow_ack();
    // Reads a response, waiting up to timeout_ms (never less than the storage
    // time-out) for each transfer.
    void receive_response_within(std::uint32_t timeout_ms, slot* slots, std::size_t count);
    // Every log line goes through here: kept for the current request's
    // answer, and read for the programmer's list of verbs.
    void note_log(const std::string& line);
    // Sends a request of `verb` and expects an ACK within timeout_ms, filling
    // slots (the first of them "value") when given; refuses an unoffered verb
    // before sending.
    void verb_request(const char* verb, const std::string& request, std::uint32_t timeout_ms,
                      slot* slots = nullptr, std::size_t count = 0);
    [[noreturn]] void refuse(const char* text) const;

    // The open link; throws "firehose: not open" without one.
    transport& link();

    transport* port_ = nullptr;
    std::uint32_t sector_size_ = 0;
    std::uint32_t physical_partition_ = 0;
    std::uint32_t max_payload_from_target_ = 0;
    std::uint32_t piece_bytes_ = 0;
    std::string rx_;
    // The programmer's last log line since the current request was sent.
    std::string last_log_;
    // Every log line since the current request was sent.
    std::vector<std::string> response_logs_;
    // The verbs of the latest "Supported Functions:" line, in lower case.
    std::vector<std::string> verbs_;
    bool verbs_known_ = false;
    bool storage_touched_ = false;
};
