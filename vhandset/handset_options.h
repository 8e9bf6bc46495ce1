// Settings of one emulated handset. The launcher's command-line options, the
// state directory's configuration file and the in-process test API all go
// through parse_option(), so every setting has one name and one parser.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vhandset {

// One injected fault, e.g. "firehose:program:nak", "sahara:read:silence@3" or,
// for handset 2 of a session only, "2:firehose:program:disconnect@3".
// The grammar is documented by help_text().
struct fault_rule {
    unsigned handset = 0;  // 0: every handset; n: only handset n of a launcher session
    std::string where;   // "sahara" or "firehose" (or "usb")
    std::string what;    // command / step name the fault applies to
    std::string kind;    // nak, silence, garbage, split, merge, short, stall, disconnect, ...
    unsigned nth = 0;    // 0: every matching request; n: only the n-th (1-based)
    std::string value;   // argument of kinds written KIND=VALUE ("status=0x0D", "delay=800"), else empty
};

struct handset_options {
    // USB identity and strings
    std::uint16_t vendor_id = 0x05c6;
    std::uint16_t product_id = 0x9008;
    std::string manufacturer = "Qualcomm CDMA Technologies MSM";
    std::string product = "QUSB__BULK";
    std::string serial;                  // empty: derived from the handset number
    bool zlp = true;                     // end packet-multiple writes with a zero-length packet
    unsigned max_packet = 512;           // bulk max packet size
    std::string link = "none";           // "none": transfers take no time; "usb2": as on USB 2.0 high
                                         // speed; "usb3": as on USB 3.0 SuperSpeed (usb_link.h)

    // Storage
    std::string memory = "ufs";          // "emmc" (512-byte sectors, 1 LUN) or "ufs" (4096, LUNs 0..5)
    std::uint64_t disk_size = 64ull << 20;  // bytes per LUN

    // Sahara boot ROM
    std::uint32_t sahara_version = 2;
    std::uint32_t sahara_version_compatible = 1;
    std::uint32_t sahara_mode = 0;       // mode announced in the first HELLO
    bool sahara_mem64 = false;           // memory-debug mode announces its region with 64-bit fields

    // Firehose programmer
    std::uint32_t max_payload_to_target = 1048576;     // largest the programmer accepts
    std::uint32_t max_payload_from_target = 1048576;
    std::uint32_t max_xml_size = 4096;
    bool ack_payload_from_target = true; // false: leave MaxPayloadSizeFromTargetInBytes out of the ACK
    unsigned startup_logs = 3;           // log documents sent when the programmer starts
    bool programmer_running = false;     // starts with the programmer running (as after a failed flash)
    bool long_logs = false;              // long log documents before every response, several per transfer
    bool record_writes = false;          // transcript: sizes of the host's writes in each program data phase
    // Verbs left out of the "Supported Functions:" line and refused as unknown
    // tags, by their canonical names (see firehose_verbs.h).
    std::vector<std::string> without_verbs;

    // Timing
    unsigned response_delay_ms = 0;      // delay before every programmer response
    // Between DONE_RESP and the programmer's start-up logs the programmer
    // neither sends nor reads: host writes stay pending (and time out).
    unsigned programmer_boot_ms = 0;
    unsigned data_timeout_ms = 5000;     // silence that ends a raw data phase (image data, program data)
    unsigned reset_delay_ms = 100;       // time between a power response and leaving the bus
    // Storage speeds in MB/s (10^6 bytes per second); 0: no time cost. The
    // response comes when the bytes would have been done at that rate.
    unsigned digest_rate_mbps = 300;     // getsha256digest reads and hashes
    unsigned erase_rate_mbps = 0;        // erase zeroes

    std::vector<fault_rule> faults;
};

// Applies one option, named as on the launcher's command line without the
// leading dashes ("memory", "disk-size", "fault", ...). Sizes take K/M/G suffixes.
// Throws std::invalid_argument with a clear message for unknown names or bad values.
void parse_option(handset_options& opts, const std::string& name, const std::string& value);

// The options of handset `number` (1, 2, ...) of a session: those given,
// without the faults meant for other handsets.
handset_options for_handset(const handset_options& opts, unsigned number);

// The option list with one line of help each, for `brv-vhandset --help`.
std::string help_text();

} // namespace vhandset
