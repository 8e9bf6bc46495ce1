// The flash programmer the boot ROM hands over to: reads one XML request at a
// time, acts on the handset's storage, answers with log and response
// documents, and moves sector data in raw mode for program and read.
//
// Answers beyond ACK/NAK, each a log document before the response:
//   start-up (third line) and nop:
//     INFO: Supported Functions: configure program read ... benchmark
//       every verb of firehose_verbs() not removed with --without-verbs, in
//       that order, separated by single spaces; a removed verb is refused as
//       an unknown tag: "ERROR: Unrecognized tag '<verb>'"
//   getStorageInfo (any case), then ACK with TotalLogicalBlocks="<sectors>":
//     INFO: total_blocks=<n> block_size=<n> num_physical=<n> mem_type=<UFS|EMMC>
//     {"storage_info": {"total_blocks": <n>, "block_size": <n>, "page_size": <n>,
//      "num_physical": <n>, "mem_type": "<UFS|EMMC>", "prod_name": "<text>"}}
//       (one line; page_size is the sector size)
//   getsha256digest, then ACK:
//     Digest 0x<64 lowercase hexadecimal digits: the SHA-256 of the sectors>
//       the ACK comes when --digest-rate MB/s would have read the range
//   erase (whole LUN without start_sector and num_partition_sectors) and
//   setbootablestoragedrive answer ACK alone; every refusal is a NAK after a
//   log line that says why ("ERROR: range restricted: lun=..., start_sector=...,
//   num_sectors=..." for a range beyond the disk).
#pragma once

#include "../device_link.h"
#include "../handset_options.h"
#include "firehose_document.h"
#include "firehose_request.h"
#include "storage.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vhandset {

class fault_plan;
class transcript;

class firehose_programmer {
public:
    // The storage is opened on first use, so that a handset whose disk cannot be
    // made still answers and refuses storage commands with a reason.
    firehose_programmer(device_link& link, const handset_options& opts, const std::filesystem::path& state_dir,
                        transcript& record, fault_plan& faults);

    // Serves requests until the handset leaves the bus; always ends by throwing
    // `unplugged` (after a power command, an injected disconnect or an unplug).
    // `fresh`: just loaded, it boots and sends its start-up logs first; else it
    // has been running for a while (a failed flash left it) and only listens.
    [[noreturn]] void run(bool fresh = true);

private:
    struct reply {
        std::string value = "ACK";
        xml_attributes attrs;
        std::vector<std::string> logs;
    };
    static reply ack(xml_attributes attrs = {});
    static reply nak(const std::string& log, xml_attributes attrs = {});

    void startup();
    // True when `verb` is served: a verb that --without-verbs did not remove.
    bool supports(const std::string& verb) const;
    std::string supported_functions() const;
    void dispatch(const firehose_request& r);
    // `opens_data`: the ACK that opens a raw data phase, which a slow storage
    // does not hold up (delay faults apply to the response that closes it).
    void respond(const reply& r, bool opens_data = false);
    // Each document in a transfer of its own, or with --long-logs as many
    // whole documents per transfer as MaxXMLSizeInBytes allows.
    void send_documents(const std::vector<std::string>& docs);
    std::vector<std::string> long_log_documents() const;
    void send_text(const std::string& text);
    [[noreturn]] void leave_bus(unsigned delay_ms);
    storage* disk(std::string* why);

    reply configure(const firehose_request& r);
    void program(const firehose_request& r);
    void read(const firehose_request& r);
    reply patch(const firehose_request& r);
    reply power(const firehose_request& r);
    reply peek(const firehose_request& r);
    reply poke(const firehose_request& r);
    reply storage_query(const firehose_request& r, bool storage_info);
    reply erase(const firehose_request& r);
    reply sha256_digest(const firehose_request& r);
    reply set_bootable_drive(const firehose_request& r);

    // Checks the attributes of a sector range (program, read, erase,
    // getsha256digest); on success fills lun, first sector and count, else
    // returns the refusal. `whole_lun`: without start_sector and
    // num_partition_sectors the range is the whole LUN.
    bool check_range(const firehose_request& r, unsigned* lun, std::uint64_t* start, std::uint64_t* count,
                     reply* refusal, bool whole_lun = false);

    // Where a raw data phase goes, in bytes of one LUN.
    struct raw_span {
        unsigned lun = 0;
        std::uint64_t first_byte = 0;
        std::uint64_t total = 0;
        std::uint64_t half = 0;  // where the cut-short faults strike
    };
    // Opens the raw data phase of program and read: refuses a bad range, else
    // acknowledges with rawmode="true" and fills the span.
    bool begin_raw(const firehose_request& r, raw_span* span);
    void drain_input();
    // Applies the flip faults to `n` bytes of program data that lie `at` bytes
    // into the current data phase, before they are stored.
    void corrupt(unsigned char* piece, std::uint64_t at, std::size_t n) const;

    device_link& link_;
    const handset_options& opts_;
    std::filesystem::path state_dir_;
    transcript& record_;
    fault_plan& faults_;
    std::unique_ptr<storage> storage_;
    std::string storage_error_;
    std::vector<fault_rule> hits_;  // faults that apply to the request being served

    // storage:write:flip faults: numbers (from 1) of the sectors to corrupt,
    // counted over every sector program data phases have stored.
    std::vector<std::uint64_t> flips_;
    std::uint64_t sectors_stored_ = 0;

    // Set by configure.
    std::uint32_t payload_to_target_;
    std::uint32_t payload_from_target_;
    bool skip_write_ = false;
};

} // namespace vhandset
