#include "firehose_programmer.h"

#include "fault_plan.h"
#include "firehose_verbs.h"
#include "firmware.h"
#include "sahara_rom.h"
#include "sector_expression.h"
#include "transcript.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace vhandset {

namespace {

constexpr const char* date_time = "Jan  1 2024 - 00:00:00";
constexpr unsigned drain_quiet_ms = 100;  // silence that ends discarding after a refused data phase
constexpr std::uint32_t max_patch_bytes = 8;
constexpr std::uint64_t max_peek_bytes = 4096;
constexpr std::size_t peek_bytes_per_line = 16;
// Raw data is stored as it arrives, in pieces of at most this much, whatever
// payload size was agreed: the handset runs inside the host's process.
constexpr std::uint64_t raw_piece_bytes = 1 << 20;
constexpr const char garbage[] = "\x01\xfe garbled \xff\x02 output 0123456789abcdef \x7f";

using clock = std::chrono::steady_clock;

void sleep_ms(unsigned ms)
{
    if (ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Storage work of `bytes` at `rate_mbps` (10^6 bytes per second) that began at
// `since` ends no sooner than that rate allows; 0 costs no time.
void take_time(std::uint64_t bytes, unsigned rate_mbps, clock::time_point since)
{
    if (rate_mbps == 0)
        return;
    constexpr std::uint64_t ns_per_mb = 1000;  // nanoseconds per byte at 1 MB/s
    std::this_thread::sleep_until(since + std::chrono::nanoseconds(bytes * ns_per_mb / rate_mbps));
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Plain unsigned number, decimal or 0x-hexadecimal.
bool plain_number(const std::string& text, std::uint64_t* out)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    try {
        std::size_t used = 0;
        const unsigned long long v = std::stoull(text, &used, 0);
        if (used != text.size())
            return false;
        *out = v;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string hex(std::uint64_t v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// Counts the host's writes for as long as it lives.
class tally_scope {
public:
    tally_scope(device_link& link, transfer_tally* tally) : link_(link), on_(tally != nullptr)
    {
        if (on_)
            link_.tally_out_transfers(tally);
    }
    ~tally_scope()
    {
        if (on_)
            link_.tally_out_transfers(nullptr);
    }
    tally_scope(const tally_scope&) = delete;
    tally_scope& operator=(const tally_scope&) = delete;

private:
    device_link& link_;
    bool on_;
};

bool truthy(const std::string& v)
{
    const std::string l = lower(v);
    return l == "1" || l == "true" || l == "yes";
}

} // namespace

firehose_programmer::firehose_programmer(device_link& link, const handset_options& opts,
                                         const std::filesystem::path& state_dir, transcript& record,
                                         fault_plan& faults)
    : link_(link), opts_(opts), state_dir_(state_dir), record_(record), faults_(faults),
      payload_to_target_(opts.max_payload_to_target), payload_from_target_(opts.max_payload_from_target)
{
    for (const auto& f : opts.faults)
        if (f.where == "storage" && f.what == "write" && f.kind == "flip")
            flips_.push_back(f.nth == 0 ? 1 : f.nth);
}

firehose_programmer::reply firehose_programmer::ack(xml_attributes attrs)
{
    reply r;
    r.attrs = std::move(attrs);
    return r;
}

firehose_programmer::reply firehose_programmer::nak(const std::string& log, xml_attributes attrs)
{
    reply r;
    r.value = "NAK";
    r.attrs = std::move(attrs);
    r.logs.push_back(log);
    return r;
}

storage* firehose_programmer::disk(std::string* why)
{
    if (!storage_ && storage_error_.empty()) {
        try {
            storage_ = std::make_unique<storage>(state_dir_, opts_.memory, opts_.disk_size);
        } catch (const std::exception& e) {
            storage_error_ = e.what();
        }
    }
    if (!storage_)
        *why = "ERROR: storage init failed: " + storage_error_;
    return storage_.get();
}

void firehose_programmer::send_text(const std::string& text)
{
    link_.send(text.data(), text.size());
}

void firehose_programmer::leave_bus(unsigned delay_ms)
{
    sleep_ms(delay_ms);
    link_.detach();
    throw unplugged();
}

bool firehose_programmer::supports(const std::string& verb) const
{
    const auto& removed = opts_.without_verbs;
    return is_firehose_verb(verb) && std::find(removed.begin(), removed.end(), verb) == removed.end();
}

std::string firehose_programmer::supported_functions() const
{
    std::string line = "INFO: Supported Functions:";
    for (const auto& verb : firehose_verbs())
        if (supports(verb))
            line += " " + verb;
    return line;
}

void firehose_programmer::startup()
{
    const std::string lines[] = {
        "INFO: Binary build date: Jan  1 2024 @ 00:00:00",
        "INFO: Chip serial num: 305419896 (0x12345678)",
        supported_functions(),
        "INFO: Storage type set to default",
        "INFO: Firehose programmer ready",
    };
    for (unsigned i = 0; i < opts_.startup_logs; ++i)
        send_text(log_document(lines[i % std::size(lines)]));
}

// Sends a reply the way this request's faults say: logs as documents of their
// own, then the response; optionally delayed, merged or split.
void firehose_programmer::respond(const reply& r, bool opens_data)
{
    unsigned delay = opts_.response_delay_ms;
    std::string extra;
    if (!opens_data && fault_plan::has(hits_, "delay", &extra))
        delay += static_cast<unsigned>(std::stoul(extra));
    sleep_ms(delay);

    std::vector<std::string> docs;
    if (opts_.long_logs)
        docs = long_log_documents();
    std::vector<std::string> logs = r.logs;
    const bool merge = fault_plan::has(hits_, "merge");
    if (merge && logs.empty())
        logs.push_back("INFO: Calling handler");
    for (std::size_t i = 0; i + (merge ? 1 : 0) < logs.size(); ++i)
        docs.push_back(log_document(logs[i]));

    std::string doc = response_document(r.value, r.attrs);
    if (merge)
        doc = log_document(logs.back()) + doc;
    if (fault_plan::has(hits_, "split")) {
        send_documents(docs);
        const std::string head = firehose_document_head;
        const auto cut = doc.find(head) + head.size();
        send_text(doc.substr(0, cut));
        send_text(doc.substr(cut));
    } else {
        docs.push_back(doc);
        send_documents(docs);
    }
}

void firehose_programmer::send_documents(const std::vector<std::string>& docs)
{
    if (!opts_.long_logs) {
        for (const auto& d : docs)
            send_text(d);
        return;
    }
    std::string transfer;
    for (const auto& d : docs) {
        if (!transfer.empty() && transfer.size() + d.size() > opts_.max_xml_size) {
            send_text(transfer);
            transfer.clear();
        }
        transfer += d;
    }
    if (!transfer.empty())
        send_text(transfer);
}

// Log documents as long as programmers send them: one that fills
// MaxXMLSizeInBytes, then values of 300 and 1000 characters (shorter when the
// document size does not allow them).
std::vector<std::string> firehose_programmer::long_log_documents() const
{
    static const std::string filler =
        "lun 0 sector 0x00012345 block 74565 state clean erase count 3 wear 1 percent; ";
    auto text = [](std::size_t n) {
        std::string t = "INFO: Storage report: ";
        while (t.size() < n)
            t += filler;
        t.resize(n);
        return t;
    };
    const std::size_t overhead = log_document("").size();
    if (opts_.max_xml_size <= overhead + 8)
        return {};
    const std::size_t room = opts_.max_xml_size - overhead;
    constexpr std::size_t medium = 300, large = 1000;
    return {log_document(text(room)), log_document(text(std::min(medium, room))),
            log_document(text(std::min(large, room)))};
}

void firehose_programmer::run(bool fresh)
{
    if (fresh) {
        sleep_ms(opts_.programmer_boot_ms);
        startup();
    }
    std::vector<char> buf(opts_.max_xml_size);
    for (;;) {
        bool timed_out = false;
        const std::size_t n = link_.receive(buf.data(), buf.size(), 0, &timed_out);
        if (n == 0) {
            // A zero-length packet is no request; a host that sends one where
            // none is due shows in the record of its writes.
            if (opts_.record_writes)
                record_.line("firehose zero-length packet");
            continue;
        }
        std::string why;
        auto req = parse_firehose_request(buf.data(), n, &why);
        if (!req) {
            record_.line("firehose invalid " + std::to_string(n) + " bytes");
            hits_.clear();
            respond(nak("ERROR: " + why));
            continue;
        }
        record_.line("firehose " + req->text);
        req->name = canonical_firehose_verb(req->name);
        hits_ = faults_.next("firehose", req->name);
        if (fault_plan::has(hits_, "disconnect") && req->name != "program" && req->name != "read")
            leave_bus(0);
        if (fault_plan::has(hits_, "silence"))
            continue;
        if (fault_plan::has(hits_, "garbage")) {
            link_.send(garbage, sizeof garbage - 1);
            continue;
        }
        if (fault_plan::has(hits_, "nak")) {
            respond(nak("ERROR: Failed to run " + req->name));
            continue;
        }
        dispatch(*req);
        std::string late;
        if (fault_plan::has(hits_, "latelog", &late)) {
            sleep_ms(static_cast<unsigned>(std::stoul(late)));
            send_text(log_document("INFO: Late log after " + req->name));
        }
    }
}

void firehose_programmer::dispatch(const firehose_request& r)
{
    auto unknown = [&] { return nak("ERROR: Unrecognized tag '" + r.name + "'"); };
    if (!supports(r.name))
        respond(unknown());
    else if (r.name == "configure")
        respond(configure(r));
    else if (r.name == "program")
        program(r);
    else if (r.name == "read")
        read(r);
    else if (r.name == "patch")
        respond(patch(r));
    else if (r.name == "erase")
        respond(erase(r));
    else if (r.name == "nop") {
        reply a = ack();
        a.logs.push_back(supported_functions());
        respond(a);
    } else if (r.name == "getsha256digest")
        respond(sha256_digest(r));
    else if (r.name == "setbootablestoragedrive")
        respond(set_bootable_drive(r));
    else if (r.name == "power")
        respond(power(r));  // returns only when the value is refused
    else if (r.name == "peek")
        respond(peek(r));
    else if (r.name == "poke")
        respond(poke(r));
    else if (r.name == "getnumdisksectors")
        respond(storage_query(r, false));
    else if (r.name == "getStorageInfo")
        respond(storage_query(r, true));
    else if (r.name == "benchmark") {
        reply a = ack();
        a.logs.push_back("INFO: benchmark trials=" + r.attr("trials").value_or("0"));
        respond(a);
    } else
        respond(unknown());
}

firehose_programmer::reply firehose_programmer::configure(const firehose_request& r)
{
    const std::string own_memory = lower(opts_.memory);
    const std::string own_name = own_memory == "emmc" ? "EMMC" : "UFS";
    const std::string to_supported = std::to_string(opts_.max_payload_to_target);
    auto attrs = [&](std::uint64_t to, std::uint64_t from) {
        xml_attributes a = {{"MemoryName", own_name},
                            {"MinVersionSupported", "1"},
                            {"Version", "1"},
                            {"MaxPayloadSizeToTargetInBytes", std::to_string(to)},
                            {"MaxPayloadSizeToTargetInBytesSupported", to_supported},
                            {"MaxXMLSizeInBytes", std::to_string(opts_.max_xml_size)}};
        if (opts_.ack_payload_from_target)
            a.emplace_back("MaxPayloadSizeFromTargetInBytes", std::to_string(from));
        a.emplace_back("DateTime", date_time);
        return a;
    };

    if (const auto mem = r.attr("MemoryName"); mem && lower(*mem) != own_memory)
        return nak("ERROR: MemoryName '" + *mem + "' does not match this device's storage " + own_name,
                   attrs(opts_.max_payload_to_target, opts_.max_payload_from_target));

    std::uint64_t to = opts_.max_payload_to_target;
    std::uint64_t from = opts_.max_payload_from_target;
    if (const auto v = r.attr("MaxPayloadSizeToTargetInBytes"); v && (!plain_number(*v, &to) || to == 0))
        return nak("ERROR: Attribute 'MaxPayloadSizeToTargetInBytes' has an invalid value '" + *v + "'",
                   attrs(opts_.max_payload_to_target, opts_.max_payload_from_target));
    if (const auto v = r.attr("MaxPayloadSizeFromTargetInBytes"); v) {
        std::uint64_t host_from = 0;
        if (!plain_number(*v, &host_from) || host_from == 0)
            return nak("ERROR: Attribute 'MaxPayloadSizeFromTargetInBytes' has an invalid value '" + *v + "'",
                       attrs(opts_.max_payload_to_target, opts_.max_payload_from_target));
        from = std::min(from, host_from);
    }
    if (to > opts_.max_payload_to_target)
        return nak("Host's payload to target size is too large",
                   attrs(opts_.max_payload_to_target, opts_.max_payload_from_target));

    payload_to_target_ = static_cast<std::uint32_t>(to);
    payload_from_target_ = static_cast<std::uint32_t>(from);
    skip_write_ = truthy(r.attr("SkipWrite").value_or("0"));
    return ack(attrs(to, from));
}

bool firehose_programmer::check_range(const firehose_request& r, unsigned* lun, std::uint64_t* start,
                                      std::uint64_t* count, reply* refusal, bool whole_lun)
{
    std::string why;
    storage* d = disk(&why);
    if (!d) {
        *refusal = nak(why);
        return false;
    }
    const auto ss_text = r.attr("SECTOR_SIZE_IN_BYTES");
    std::uint64_t ss = 0;
    if (!ss_text || !plain_number(*ss_text, &ss)) {
        *refusal = nak("ERROR: Attribute 'SECTOR_SIZE_IN_BYTES' is missing or invalid");
        return false;
    }
    if (ss != d->sector_size()) {
        *refusal = nak("Attribute 'SECTOR_SIZE_IN_BYTES'=" + *ss_text + " must be equal to disk sector size " +
                       std::to_string(d->sector_size()));
        return false;
    }
    std::uint64_t pp = 0;
    const std::string pp_text = r.attr("physical_partition_number").value_or("0");
    if (!plain_number(pp_text, &pp) || !d->has_lun(pp)) {
        *refusal = nak("ERROR: Invalid physical_partition_number '" + pp_text + "'");
        return false;
    }
    const auto start_text = r.attr("start_sector");
    const auto count_text = r.attr("num_partition_sectors");
    if (whole_lun && !start_text && !count_text) {
        *lun = static_cast<unsigned>(pp);
        *start = 0;
        *count = d->num_sectors();
        return true;
    }
    if (!start_text || !count_text) {
        *refusal = nak(std::string("ERROR: Attribute '") + (start_text ? "num_partition_sectors" : "start_sector") +
                       "' is missing");
        return false;
    }
    expression_context ctx;
    ctx.num_disk_sectors = d->num_sectors();
    try {
        *start = evaluate_expression(*start_text, ctx);
        *count = evaluate_expression(*count_text, ctx);
    } catch (const std::invalid_argument& e) {
        *refusal = nak(std::string("ERROR: ") + e.what());
        return false;
    }
    *lun = static_cast<unsigned>(pp);
    if (*count == 0) {
        *refusal = nak("ERROR: num_partition_sectors is 0");
        return false;
    }
    if (!d->sectors_inside(*start, *count)) {
        *refusal = nak("ERROR: range restricted: lun=" + std::to_string(*lun) + ", start_sector=" +
                       std::to_string(*start) + ", num_sectors=" + std::to_string(*count));
        return false;
    }
    return true;
}

void firehose_programmer::drain_input()
{
    std::vector<char> sink(payload_to_target_);
    for (;;) {
        bool timed_out = false;
        link_.receive(sink.data(), sink.size(), drain_quiet_ms, &timed_out);
        if (timed_out)
            return;
    }
}

bool firehose_programmer::begin_raw(const firehose_request& r, raw_span* span)
{
    std::uint64_t start = 0, count = 0;
    reply refusal;
    if (!check_range(r, &span->lun, &start, &count, &refusal)) {
        respond(refusal);
        return false;
    }
    const std::uint64_t ss = storage_->sector_size();
    span->first_byte = start * ss;
    span->total = count * ss;
    span->half = std::max<std::uint64_t>(span->total / 2, 1);
    respond(ack({{"rawmode", "true"}}), true);
    return true;
}

void firehose_programmer::program(const firehose_request& r)
{
    raw_span span;
    if (!begin_raw(r, &span))
        return;
    const unsigned lun = span.lun;
    const std::uint64_t total = span.total;
    const std::uint64_t half = span.half;
    const bool cut_short = fault_plan::has(hits_, "short");
    const bool unplug = fault_plan::has(hits_, "disconnect");

    std::vector<unsigned char> buf(std::min({std::uint64_t{payload_to_target_}, total, raw_piece_bytes}));
    transfer_tally writes;
    tally_scope tallying(link_, opts_.record_writes ? &writes : nullptr);
    std::uint64_t got = 0;
    bool write_failed = false;
    bool timed_out = false;
    while (got < total) {
        std::uint64_t want = std::min<std::uint64_t>(total - got, buf.size());
        if ((cut_short || unplug) && got < half)
            want = std::min(want, half - got);
        const std::size_t n = link_.receive(buf.data(), static_cast<std::size_t>(want), opts_.data_timeout_ms,
                                            &timed_out);
        if (n == 0) {
            if (timed_out)
                break;
            continue;  // zero-length packet
        }
        if (!skip_write_ && !write_failed) {
            corrupt(buf.data(), got, n);
            try {
                storage_->write(lun, span.first_byte + got, buf.data(), n);
            } catch (const std::exception&) {
                write_failed = true;
            }
        }
        got += n;
        if (got >= half && (cut_short || unplug))
            break;
    }
    if (!skip_write_ && !write_failed)
        sectors_stored_ += got / storage_->sector_size();
    record_.line("firehose raw " + std::to_string(got) + " bytes");
    if (opts_.record_writes)
        record_.line("firehose writes " + writes.text());
    if (unplug && got >= half)
        leave_bus(0);
    const std::string progress = std::to_string(got) + " of " + std::to_string(total) + " bytes";
    if (got < total && timed_out) {
        respond(nak("ERROR: Timed out waiting for raw data, received " + progress, {{"rawmode", "false"}}));
    } else if (got < total) {
        respond(nak("ERROR: Failed to write raw data, stopped after " + progress, {{"rawmode", "false"}}));
        drain_input();
    } else if (write_failed) {
        respond(nak("ERROR: Failed to write to storage", {{"rawmode", "false"}}));
    } else {
        respond(ack({{"rawmode", "false"}}));
    }
}

void firehose_programmer::corrupt(unsigned char* piece, std::uint64_t at, std::size_t n) const
{
    const std::uint64_t ss = storage_->sector_size();
    for (const std::uint64_t k : flips_) {
        if (k <= sectors_stored_)
            continue;
        const std::uint64_t last_byte = (k - sectors_stored_) * ss - 1;  // within this data phase
        if (last_byte >= at && last_byte - at < n)
            piece[last_byte - at] ^= 0x01;
    }
}

void firehose_programmer::read(const firehose_request& r)
{
    raw_span span;
    if (!begin_raw(r, &span))
        return;
    const std::uint64_t total = span.total;
    const std::uint64_t half = span.half;
    const bool stall = fault_plan::has(hits_, "stall");
    const bool unplug = fault_plan::has(hits_, "disconnect");

    std::vector<unsigned char> buf(std::min<std::uint64_t>(payload_from_target_, total));
    for (std::uint64_t sent = 0; sent < total;) {
        std::uint64_t n = std::min<std::uint64_t>(total - sent, buf.size());
        if ((stall || unplug) && sent < half)
            n = std::min(n, half - sent);
        storage_->read(span.lun, span.first_byte + sent, buf.data(), static_cast<std::size_t>(n));
        link_.send(buf.data(), static_cast<std::size_t>(n));
        sent += n;
        if (sent >= half && unplug)
            leave_bus(0);
        if (sent >= half && stall)
            return;  // the rest never comes, nor does a response
    }
    respond(ack({{"rawmode", "false"}}));
}

firehose_programmer::reply firehose_programmer::patch(const firehose_request& r)
{
    const std::string file = r.attr("filename").value_or("");
    if (file != "DISK")
        return nak("ERROR: Only patches to DISK are supported, not '" + file + "'");
    std::string why;
    storage* d = disk(&why);
    if (!d)
        return nak(why);
    for (const char* key : {"SECTOR_SIZE_IN_BYTES", "byte_offset", "physical_partition_number", "size_in_bytes",
                            "start_sector", "value"})
        if (!r.attr(key))
            return nak(std::string("ERROR: Attribute '") + key + "' is missing");
    const std::string ss_text = *r.attr("SECTOR_SIZE_IN_BYTES");
    std::uint64_t ss = 0, lun = 0, size = 0;
    if (!plain_number(ss_text, &ss) || ss != d->sector_size())
        return nak("Attribute 'SECTOR_SIZE_IN_BYTES'=" + ss_text + " must be equal to disk sector size " +
                   std::to_string(d->sector_size()));
    if (!plain_number(*r.attr("physical_partition_number"), &lun) || !d->has_lun(lun))
        return nak("ERROR: Invalid physical_partition_number '" + *r.attr("physical_partition_number") + "'");
    if (!plain_number(*r.attr("size_in_bytes"), &size) || size == 0 || size > max_patch_bytes)
        return nak("ERROR: size_in_bytes must be 1 to 8, not '" + *r.attr("size_in_bytes") + "'");

    const auto l = static_cast<unsigned>(lun);
    expression_context ctx;
    ctx.num_disk_sectors = d->num_sectors();
    std::uint64_t start = 0, byte_offset = 0, value = 0;
    try {
        start = evaluate_expression(*r.attr("start_sector"), ctx);
        byte_offset = evaluate_expression(*r.attr("byte_offset"), ctx);
        ctx.crc32 = [d, l](std::uint64_t sector, std::uint64_t len) { return d->crc32(l, sector, len); };
        value = evaluate_expression(*r.attr("value"), ctx);
    } catch (const std::exception& e) {
        return nak(std::string("ERROR: ") + e.what());
    }
    if (size < max_patch_bytes && (value >> (8 * size)) != 0)
        return nak("ERROR: value " + hex(value) + " does not fit in " + std::to_string(size) + " bytes");
    const bool inside = d->sectors_inside(start, 0) && d->bytes_inside(start * ss, byte_offset) &&
                        d->bytes_inside(start * ss + byte_offset, size);
    if (!inside)
        return nak("ERROR: range restricted: lun=" + std::to_string(lun) + ", start_sector=" + std::to_string(start) +
                   ", byte_offset=" + std::to_string(byte_offset) + ", size_in_bytes=" + std::to_string(size));
    if (!skip_write_) {
        unsigned char bytes[max_patch_bytes];
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<unsigned char>(value >> (8 * i));
        try {
            d->write(l, start * ss + byte_offset, bytes, size);
        } catch (const std::exception&) {
            return nak("ERROR: Failed to write to storage");
        }
    }
    return ack();
}

firehose_programmer::reply firehose_programmer::power(const firehose_request& r)
{
    const std::string v = r.attr("value").value_or("");
    if (v != "reset" && v != "off")
        return nak("ERROR: Unsupported power value '" + v + "'");
    respond(ack());
    leave_bus(opts_.reset_delay_ms);
}

firehose_programmer::reply firehose_programmer::peek(const firehose_request& r)
{
    std::uint64_t address = 0, size = 0;
    if (!plain_number(r.attr("address64").value_or(""), &address) ||
        !plain_number(r.attr("size_in_bytes").value_or(""), &size) || size == 0 || size > max_peek_bytes)
        return nak("ERROR: peek needs address64 and size_in_bytes of 1 to 4096");
    reply a = ack();
    for (std::uint64_t i = 0; i < size; i += peek_bytes_per_line) {
        std::string l = hex(address + i) + ":";
        for (std::uint64_t j = i; j < std::min(size, i + peek_bytes_per_line); ++j) {
            char b[4];
            std::snprintf(b, sizeof b, " %02x", memory_debug_byte(address + j));
            l += b;
        }
        a.logs.push_back(l);
    }
    return a;
}

firehose_programmer::reply firehose_programmer::poke(const firehose_request& r)
{
    std::uint64_t address = 0, size = 0, value = 0;
    if (!plain_number(r.attr("address64").value_or(""), &address) ||
        !plain_number(r.attr("size_in_bytes").value_or(""), &size) || size == 0 || size > max_patch_bytes ||
        !plain_number(r.attr("value").value_or(""), &value))
        return nak("ERROR: poke needs address64, size_in_bytes of 1 to 8 and a value");
    reply a = ack();
    a.logs.push_back("INFO: poke " + hex(address) + " size " + std::to_string(size) + " value " + hex(value));
    return a;
}

firehose_programmer::reply firehose_programmer::storage_query(const firehose_request& r, bool storage_info)
{
    std::string why;
    storage* d = disk(&why);
    if (!d)
        return nak(why);
    std::uint64_t lun = 0;
    const std::string pp = r.attr("physical_partition_number").value_or("0");
    if (!plain_number(pp, &lun) || !d->has_lun(lun))
        return nak("ERROR: Invalid physical_partition_number '" + pp + "'");
    const std::string sectors = std::to_string(d->num_sectors());
    if (!storage_info)
        return ack({{"NumDiskSectors", sectors}});
    const std::string block = std::to_string(d->sector_size());
    const std::string luns = std::to_string(d->lun_count());
    reply a = ack({{"TotalLogicalBlocks", sectors}});
    a.logs.push_back("INFO: total_blocks=" + sectors + " block_size=" + block + " num_physical=" + luns +
                     " mem_type=" + d->memory_name());
    a.logs.push_back("{\"storage_info\": {\"total_blocks\": " + sectors + ", \"block_size\": " + block +
                     ", \"page_size\": " + block + ", \"num_physical\": " + luns + ", \"mem_type\": \"" +
                     d->memory_name() + "\", \"prod_name\": \"VHANDSET-" + d->memory_name() + "\"}}");
    return a;
}

firehose_programmer::reply firehose_programmer::erase(const firehose_request& r)
{
    unsigned lun = 0;
    std::uint64_t start = 0, count = 0;
    reply refusal;
    if (!check_range(r, &lun, &start, &count, &refusal, true))
        return refusal;
    if (skip_write_)
        return ack();
    const auto began = clock::now();
    const std::uint64_t ss = storage_->sector_size();
    try {
        storage_->zero(lun, start * ss, count * ss);
    } catch (const std::exception&) {
        return nak("ERROR: Failed to erase storage");
    }
    take_time(count * ss, opts_.erase_rate_mbps, began);
    record_.line("firehose erase lun=" + std::to_string(lun) + " start_sector=" + std::to_string(start) +
                 " num_sectors=" + std::to_string(count));
    return ack();
}

firehose_programmer::reply firehose_programmer::sha256_digest(const firehose_request& r)
{
    unsigned lun = 0;
    std::uint64_t start = 0, count = 0;
    reply refusal;
    if (!check_range(r, &lun, &start, &count, &refusal))
        return refusal;
    const auto began = clock::now();
    const std::uint64_t ss = storage_->sector_size();
    std::array<unsigned char, 32> digest{};
    try {
        digest = storage_->sha256(lun, start * ss, count * ss);
    } catch (const std::exception&) {
        return nak("ERROR: Failed to read storage");
    }
    take_time(count * ss, opts_.digest_rate_mbps, began);
    std::string line = "Digest 0x";
    for (const unsigned char b : digest) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        line += two;
    }
    reply a = ack();
    a.logs.push_back(line);
    return a;
}

firehose_programmer::reply firehose_programmer::set_bootable_drive(const firehose_request& r)
{
    std::string why;
    storage* d = disk(&why);
    if (!d)
        return nak(why);
    const std::string v = r.attr("value").value_or("");
    std::uint64_t lun = 0;
    if (!plain_number(v, &lun) || !d->has_lun(lun)) {
        const unsigned last = d->lun_count() - 1;
        return nak("ERROR: Invalid bootable storage drive '" + v + "': " + d->memory_name() + " has " +
                   (last == 0 ? std::string("LUN 0 only") : "LUNs 0 to " + std::to_string(last)));
    }
    if (skip_write_)
        return ack();
    try {
        write_bootable_drive(state_dir_, static_cast<unsigned>(lun));
    } catch (const std::exception& e) {
        return nak(std::string("ERROR: Failed to set the bootable storage drive: ") + e.what());
    }
    record_.line("firehose bootable drive " + std::to_string(lun));
    return ack();
}

} // namespace vhandset
