#include "../handset_options.h"

#include "firehose_verbs.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <limits>
#include <map>
#include <stdexcept>

namespace vhandset {

namespace {

constexpr std::uint64_t kib = 1024;
constexpr std::uint64_t whole_sector_granule = 4096;  // disk sizes must suit both 512- and 4096-byte sectors
constexpr std::uint32_t min_payload = 512;
constexpr std::uint32_t min_xml_size = 64;
constexpr std::uint64_t max_handset_number = 100;  // as many as a session attaches

[[noreturn]] void bad_value(const std::string& name, const std::string& value, const std::string& why)
{
    throw std::invalid_argument("option --" + name + ": bad value '" + value + "': " + why);
}

// Unsigned number in decimal or 0x-hexadecimal, the whole text, no sign.
std::uint64_t parse_number(const std::string& name, const std::string& text, int base = 0)
{
    if (text.empty() || !std::isxdigit(static_cast<unsigned char>(text[0])))
        bad_value(name, text, "expected an unsigned number");
    std::size_t used = 0;
    unsigned long long v = 0;
    try {
        v = std::stoull(text, &used, base);
    } catch (const std::exception&) {
        bad_value(name, text, "expected an unsigned number");
    }
    if (used != text.size())
        bad_value(name, text, "expected an unsigned number");
    return v;
}

// Number with an optional K, M or G suffix (powers of 1024).
std::uint64_t parse_size(const std::string& name, const std::string& text)
{
    if (text.empty())
        bad_value(name, text, "expected a size such as 4096, 64K, 16M or 2G");
    std::uint64_t scale = 1;
    std::string digits = text;
    switch (std::toupper(static_cast<unsigned char>(text.back()))) {
    case 'K': scale = kib; break;
    case 'M': scale = kib * kib; break;
    case 'G': scale = kib * kib * kib; break;
    default: break;
    }
    if (scale != 1)
        digits.pop_back();
    const std::uint64_t n = parse_number(name, digits, 10);
    if (n > std::numeric_limits<std::uint64_t>::max() / scale)
        bad_value(name, text, "too large");
    return n * scale;
}

std::uint32_t parse_u32(const std::string& name, const std::string& text, std::uint64_t v)
{
    if (v > std::numeric_limits<std::uint32_t>::max())
        bad_value(name, text, "does not fit in 32 bits");
    return static_cast<std::uint32_t>(v);
}

bool parse_switch(const std::string& name, const std::string& text)
{
    std::string t = text;
    std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return std::tolower(c); });
    if (t.empty() || t == "on" || t == "true" || t == "yes" || t == "1")
        return true;
    if (t == "off" || t == "false" || t == "no" || t == "0")
        return false;
    bad_value(name, text, "expected on or off");
}

std::uint16_t parse_usb_id(const std::string& name, const std::string& text)
{
    std::string t = text;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t = t.substr(2);
    if (t.empty() || t.size() > 4 || !std::all_of(t.begin(), t.end(), [](unsigned char c) { return std::isxdigit(c); }))
        bad_value(name, text, "expected a 16-bit hexadecimal id such as 05c6");
    return static_cast<std::uint16_t>(std::stoul(t, nullptr, 16));
}

// Which WHAT:KIND pairs each WHERE knows; "*" and "response" mean every request.
bool firehose_command_known(const std::string& what)
{
    return what == "*" || what == "response" || is_firehose_verb(what);
}

// "erase,getsha256digest": each a verb, stored by its canonical name.
void add_verbs(std::vector<std::string>& out, const std::string& name, const std::string& list)
{
    std::size_t at = 0;
    for (;;) {
        const auto comma = list.find(',', at);
        const std::string verb = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (!is_firehose_verb(verb))
            bad_value(name, list, "'" + verb + "' is not a programmer command");
        out.push_back(canonical_firehose_verb(verb));
        if (comma == std::string::npos)
            return;
        at = comma + 1;
    }
}

void check_fault(const std::string& text, const fault_rule& f)
{
    auto bad = [&](const std::string& why) { bad_value("fault", text, why + " (see --help for the grammar)"); };
    const bool valued = f.kind == "status" || f.kind == "delay" || f.kind == "latelog";
    if (valued && f.value.empty())
        bad("kind '" + f.kind + "' needs a value, e.g. " + f.kind + "=" + (f.kind == "status" ? "0x0D" : "800"));
    if (!valued && !f.value.empty())
        bad("kind '" + f.kind + "' takes no value");
    if (f.where == "sahara") {
        const bool ok = (f.what == "hello" && (f.kind == "silence" || f.kind == "badlength")) ||
                        (f.what == "image" && f.kind == "status") ||
                        (f.what == "read" && (f.kind == "beyond" || f.kind == "silence"));
        if (!ok)
            bad("unknown sahara fault '" + f.what + ":" + f.kind + "'");
        if (f.kind == "status" && parse_number("fault", f.value) > 0xff)
            bad("status must be below 0x100");
    } else if (f.where == "firehose") {
        if (!firehose_command_known(f.what))
            bad("unknown firehose command '" + f.what + "'");
        static const char* const kinds[] = {"nak", "silence", "garbage", "split", "merge",
                                            "short", "stall", "disconnect", "delay", "latelog"};
        if (std::none_of(std::begin(kinds), std::end(kinds), [&](const char* k) { return f.kind == k; }))
            bad("unknown firehose fault kind '" + f.kind + "'");
        if (f.kind == "short" && f.what != "program")
            bad("'short' applies to program only");
        if (f.kind == "stall" && f.what != "read")
            bad("'stall' applies to read only");
        if (f.kind == "delay" || f.kind == "latelog")
            parse_u32("fault", f.value, parse_number("fault", f.value, 10));
    } else if (f.where == "storage") {
        if (f.what != "write" || f.kind != "flip")
            bad("unknown storage fault '" + f.what + ":" + f.kind + "' (storage:write:flip)");
    } else if (f.where != "usb") {
        bad("place must be sahara, firehose, storage or usb");
    }
}

fault_rule parse_fault(const std::string& text)
{
    fault_rule f;
    std::string rest = text;
    const auto at = rest.rfind('@');
    if (at != std::string::npos) {
        const std::uint64_t n = parse_number("fault", rest.substr(at + 1), 10);
        if (n == 0 || n > std::numeric_limits<unsigned>::max())
            bad_value("fault", text, "@N counts from 1");
        f.nth = static_cast<unsigned>(n);
        rest.resize(at);
    }
    // A leading number names the one handset of a session the fault is for.
    if (const auto c = rest.find(':'); c != std::string::npos && c > 0 &&
        std::all_of(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(c),
                    [](unsigned char ch) { return std::isdigit(ch); })) {
        const std::uint64_t h = parse_number("fault", rest.substr(0, c), 10);
        if (h == 0 || h > max_handset_number)
            bad_value("fault", text, "the handset number counts from 1 to " + std::to_string(max_handset_number));
        f.handset = static_cast<unsigned>(h);
        rest.erase(0, c + 1);
    }
    const auto c1 = rest.find(':');
    const auto c2 = c1 == std::string::npos ? std::string::npos : rest.find(':', c1 + 1);
    if (c2 == std::string::npos || rest.find(':', c2 + 1) != std::string::npos)
        bad_value("fault", text, "expected [H:]PLACE:WHAT:KIND[=VALUE][@N] (see --help)");
    f.where = rest.substr(0, c1);
    f.what = rest.substr(c1 + 1, c2 - c1 - 1);
    if (f.where == "firehose")
        f.what = canonical_firehose_verb(f.what);
    f.kind = rest.substr(c2 + 1);
    const auto eq = f.kind.find('=');
    if (eq != std::string::npos) {
        f.value = f.kind.substr(eq + 1);
        f.kind.resize(eq);
    }
    if (f.where.empty() || f.what.empty() || f.kind.empty())
        bad_value("fault", text, "expected [H:]PLACE:WHAT:KIND[=VALUE][@N] (see --help)");
    check_fault(text, f);
    return f;
}

using setter = std::function<void(handset_options&, const std::string& name, const std::string& value)>;

struct option_entry {
    const char* name;
    const char* arg;
    const char* help;
    setter apply;
};

// The setter of a field that holds a decimal count (milliseconds, MB/s, ...).
setter decimal(unsigned handset_options::*field)
{
    return [field](handset_options& o, const std::string& n, const std::string& v) {
        o.*field = parse_u32(n, v, parse_number(n, v, 10));
    };
}

const std::vector<option_entry>& option_table()
{
    static const std::vector<option_entry> table = {
        {"vid", "HEX", "USB vendor id (default 05c6)",
         [](handset_options& o, const std::string& n, const std::string& v) { o.vendor_id = parse_usb_id(n, v); }},
        {"pid", "HEX", "USB product id (default 9008)",
         [](handset_options& o, const std::string& n, const std::string& v) { o.product_id = parse_usb_id(n, v); }},
        {"manufacturer", "TEXT", "manufacturer string descriptor",
         [](handset_options& o, const std::string&, const std::string& v) { o.manufacturer = v; }},
        {"product", "TEXT", "product string descriptor",
         [](handset_options& o, const std::string&, const std::string& v) { o.product = v; }},
        {"serial", "TEXT", "serial number string (default: derived from the handset number)",
         [](handset_options& o, const std::string&, const std::string& v) { o.serial = v; }},
        {"zlp", "on|off", "end writes that fill whole packets with a zero-length packet (default on)",
         [](handset_options& o, const std::string& n, const std::string& v) { o.zlp = parse_switch(n, v); }},
        {"max-packet", "N", "bulk endpoint max packet size: 8, 16, 32, 64, 512 or 1024 (default 512)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             const auto p = parse_number(n, v, 10);
             if (p != 8 && p != 16 && p != 32 && p != 64 && p != 512 && p != 1024)
                 bad_value(n, v, "must be 8, 16, 32, 64, 512 or 1024");
             o.max_packet = static_cast<unsigned>(p);
         }},
        {"link", "none|usb2|usb3",
         "cable timing: none (instant), usb2 (USB 2.0 high speed) or usb3 (SuperSpeed), below (default none)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             std::string t = v;
             std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return std::tolower(c); });
             if (t != "none" && t != "usb2" && t != "usb3")
                 bad_value(n, v, "must be none, usb2 or usb3");
             o.link = t;
         }},
        {"memory", "emmc|ufs", "storage: emmc = 1 LUN of 512-byte sectors, ufs = LUNs 0..5 of 4096 (default ufs)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             std::string t = v;
             std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return std::tolower(c); });
             if (t != "emmc" && t != "ufs")
                 bad_value(n, v, "must be emmc or ufs");
             o.memory = t;
         }},
        {"disk-size", "SIZE", "bytes per LUN, a multiple of 4K, suffixes K/M/G (default 64M)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             const auto s = parse_size(n, v);
             if (s == 0 || s % whole_sector_granule != 0)
                 bad_value(n, v, "must be a non-zero multiple of 4K");
             o.disk_size = s;
         }},
        {"sahara-version", "N", "Sahara version in HELLO (default 2)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             o.sahara_version = parse_u32(n, v, parse_number(n, v));
         }},
        {"sahara-compatible", "N", "oldest Sahara version accepted from the host (default 1)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             o.sahara_version_compatible = parse_u32(n, v, parse_number(n, v));
         }},
        {"sahara-mode", "N", "mode in the first HELLO: 0 image transfer, 2 memory debug, 3 command (default 0)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             o.sahara_mode = parse_u32(n, v, parse_number(n, v));
         }},
        {"memory-debug-64", "on|off", "announce the memory-debug region with MEMORY_DEBUG_64 (default off)",
         [](handset_options& o, const std::string& n, const std::string& v) { o.sahara_mem64 = parse_switch(n, v); }},
        {"max-payload-to-target", "SIZE", "largest raw payload the programmer accepts in configure (default 1M)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             const auto s = parse_u32(n, v, parse_size(n, v));
             if (s < min_payload)
                 bad_value(n, v, "must be at least 512");
             o.max_payload_to_target = s;
         }},
        {"max-payload-from-target", "SIZE", "largest raw payload the programmer sends in one write (default 1M)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             const auto s = parse_u32(n, v, parse_size(n, v));
             if (s < min_payload)
                 bad_value(n, v, "must be at least 512");
             o.max_payload_from_target = s;
         }},
        {"max-xml-size", "SIZE", "largest request document the programmer reads (default 4096)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             const auto s = parse_u32(n, v, parse_size(n, v));
             if (s < min_xml_size)
                 bad_value(n, v, "must be at least 64");
             o.max_xml_size = s;
         }},
        {"omit-payload-from-target", "[on|off]",
         "leave MaxPayloadSizeFromTargetInBytes out of the configure ACK (default off)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             o.ack_payload_from_target = !parse_switch(n, v);
         }},
        {"startup-logs", "N", "log documents the programmer sends when it starts (default 3)",
         decimal(&handset_options::startup_logs)},
        {"programmer-running", "[on|off]",
         "start as a failed flash leaves it: programmer running, no HELLO (default off)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             o.programmer_running = parse_switch(n, v);
         }},
        {"long-logs", "[on|off]",
         "long log documents before each response, several per transfer (default off)",
         [](handset_options& o, const std::string& n, const std::string& v) { o.long_logs = parse_switch(n, v); }},
        {"record-writes", "[on|off]",
         "transcript: the sizes of the host's writes in each program data phase (default off)",
         [](handset_options& o, const std::string& n, const std::string& v) { o.record_writes = parse_switch(n, v); }},
        {"without-verbs", "VERB,...",
         "commands left out of Supported Functions and refused as unknown (repeatable)",
         [](handset_options& o, const std::string& n, const std::string& v) { add_verbs(o.without_verbs, n, v); }},
        {"response-delay-ms", "MS", "delay before every programmer response (default 0)",
         decimal(&handset_options::response_delay_ms)},
        {"programmer-boot-ms", "MS", "after DONE_RESP the programmer reads and sends nothing for MS ms (default 0)",
         decimal(&handset_options::programmer_boot_ms)},
        {"data-timeout-ms", "MS", "silence that ends a raw data phase with an error (default 5000)",
         [](handset_options& o, const std::string& n, const std::string& v) {
             const auto t = parse_u32(n, v, parse_number(n, v, 10));
             if (t == 0)
                 bad_value(n, v, "must be at least 1");
             o.data_timeout_ms = t;
         }},
        {"reset-delay-ms", "MS", "time between a power response and leaving the bus (default 100)",
         decimal(&handset_options::reset_delay_ms)},
        {"digest-rate", "MBPS", "getsha256digest speed, MB of 10^6 bytes a second; 0: instant (default 300)",
         decimal(&handset_options::digest_rate_mbps)},
        {"erase-rate", "MBPS", "erase speed, MB of 10^6 bytes a second; 0: instant (default 0)",
         decimal(&handset_options::erase_rate_mbps)},
        {"fault", "FAULT", "inject a fault, repeatable; grammar below",
         [](handset_options& o, const std::string&, const std::string& v) { o.faults.push_back(parse_fault(v)); }},
    };
    return table;
}

const char* const link_help =
    "LINK usb2: bulk transfers in both directions take the wall time they take on a USB 2.0\n"
    "  high-speed link: 512-byte packets, at most 13 bulk packets per 125 us microframe, and a\n"
    "  transfer starts at the next microframe boundary after the previous transfer on its endpoint\n"
    "  completed, so a synchronous host pays one idle microframe per transfer. 512-byte transfers\n"
    "  move about 2 MB/s, 4096-byte ones about 16 MB/s, 1 MiB ones about 52 MB/s. An OUT transfer's\n"
    "  data reaches the handset when it has crossed; an IN transfer completes when its data has.\n";

const char* const fault_help =
    "FAULT: [H:]PLACE:WHAT:KIND[=VALUE][@N]\n"
    "  @N applies the fault to the N-th matching event only (counted from 1); without it, to every one.\n"
    "  H: applies it to handset H of the session only (1 to 100, as --handsets numbers them), e.g.\n"
    "  2:firehose:program:disconnect@3; without it, to every handset.\n"
    "  sahara:hello:silence        the ROM does not send its HELLO (it still listens)\n"
    "  sahara:hello:badlength      HELLO carries a wrong length word (0x34)\n"
    "  sahara:image:status=CODE    END_OF_IMAGE with status CODE after the image; with @N in place of the\n"
    "                              N-th image read request\n"
    "  sahara:read:beyond          the read request asks for data far beyond any image (@N: the N-th request)\n"
    "  sahara:read:silence         the ROM stops answering instead of sending the read request (@N: the N-th)\n";

// Follows the firehose place's line, which names the verbs.
const char* const firehose_fault_help =
    "    nak                       refuse the request with a log line, do nothing\n"
    "    silence                   take the request, never answer\n"
    "    garbage                   answer with bytes that are not XML instead of the response\n"
    "    split                     send the response document in two transfers, cut after <data>\n"
    "    merge                     send a log document and the response document in one transfer\n"
    "    delay=MS                  wait MS more milliseconds before the response (program, read: before\n"
    "                              the response that closes the data phase, not the rawmode ACK)\n"
    "    latelog=MS                MS milliseconds after the response, send one more log document,\n"
    "                              \"INFO: Late log after COMMAND\" (requests wait meanwhile)\n"
    "    short                     (program) take half of the raw data, then refuse and discard the rest\n"
    "    stall                     (read) send half of the raw data, then nothing more\n"
    "    disconnect                leave the bus: half way through the raw data of program/read, else on receipt\n"
    "  storage:write:flip          flip the lowest bit of the last byte of the N-th sector the programmer\n"
    "                              stores (default: the 1st), counting the sectors of every program data\n"
    "                              phase of the session in order\n"
    "  usb:WHAT:KIND               faults of the USB model (see its documentation)\n";

// `text` in words over lines of the help's second column, `head` in the first.
std::string wrapped(const std::string& head, const std::string& text)
{
    constexpr std::size_t second_column = 30, width = 104;
    std::string out, line = head;
    auto flush = [&] {
        out += line + "\n";
        line.clear();
    };
    std::size_t at = 0;
    while (at < text.size()) {
        const auto space = text.find(' ', at);
        const std::string word = text.substr(at, space == std::string::npos ? std::string::npos : space - at);
        at = space == std::string::npos ? text.size() : space + 1;
        if (line.size() > second_column && line.size() + 1 + word.size() > width)
            flush();
        if (line.size() < second_column)
            line.append(second_column - line.size(), ' ');
        else
            line += ' ';
        line += word;
    }
    flush();
    return out;
}

} // namespace

void parse_option(handset_options& opts, const std::string& name, const std::string& value)
{
    for (const auto& e : option_table()) {
        if (name == e.name) {
            e.apply(opts, name, value);
            return;
        }
    }
    throw std::invalid_argument("unknown option --" + name);
}

handset_options for_handset(const handset_options& opts, unsigned number)
{
    handset_options mine = opts;
    std::erase_if(mine.faults, [number](const fault_rule& f) { return f.handset != 0 && f.handset != number; });
    return mine;
}

std::string help_text()
{
    std::string out = "Handset options:\n";
    constexpr std::size_t column = 34;
    for (const auto& e : option_table()) {
        std::string left = std::string("  --") + e.name + " " + e.arg;
        if (left.size() < column)
            left.append(column - left.size(), ' ');
        else
            left += "  ";
        out += left + e.help + "\n";
    }
    out += "\n";
    out += link_help;
    out += "\n";
    out += fault_help;
    std::string verbs = "WHAT is a command name (";
    for (const auto& v : firehose_verbs())
        verbs += v + (&v == &firehose_verbs().back() ? "" : ", ");
    verbs += "), or * / response for every request; @N counts requests of that command (of all, for * / response)";
    out += wrapped("  firehose:WHAT:KIND", verbs);
    out += firehose_fault_help;
    return out;
}

} // namespace vhandset
