// Firehose transport and commands against a scripted programmer: the cases a
// programmer produces only now and then (refusals with proposals, odd document
// cuts, missing attributes, stalled data) made to happen exactly.
#include "firehose.h"
#include "log_capture.h"
#include "memory_type.h"
#include "scripted_peer.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <unistd.h>

namespace {

using scripted::peer;

constexpr char frame_head[] = "<?xml version=\"1.0\" ?>\n<data>\n";
constexpr char frame_tail[] = "\n</data>\n";

std::string document(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<data>" + body + "</data>";
}
std::string log_document(const std::string& text)
{
    return document("<log value=\"" + text + "\" />");
}
std::string response_document(const std::string& attributes)
{
    return document("<response " + attributes + " />");
}
const std::string ack = response_document("value=\"ACK\"");
const std::string nak = response_document("value=\"NAK\"");
const std::string raw_on = response_document("value=\"ACK\" rawmode=\"true\"");
const std::string raw_off = response_document("value=\"ACK\" rawmode=\"false\"");

std::string configure_reply(const std::string& value, const std::string& to_target, const std::string& from_target)
{
    return response_document("value=\"" + value + "\" MinVersionSupported=\"1\" MemoryName=\"UFS\" "
                             "MaxPayloadSizeToTargetInBytes=\"" + to_target + "\" "
                             "MaxPayloadSizeFromTargetInBytes=\"" + from_target + "\"");
}

std::string framed(const std::string& element)
{
    return frame_head + element + frame_tail;
}

std::string timeout_text()
{
    return std::strerror(ETIMEDOUT);
}

std::string pattern(std::size_t bytes, unsigned seed)
{
    std::string s(bytes, '\0');
    for (std::size_t i = 0; i < bytes; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + i / 4096) & 0xff);
    return s;
}

// A stand-in programmer: answers each request by its element's name; writes
// that are not requests (raw data) go to on_raw.
class programmer {
public:
    explicit programmer(peer& p) : peer_(p) { reset(); }
    programmer(const programmer&) = delete;
    programmer& operator=(const programmer&) = delete;

    // Forgets every handler and request; answers nop with ACK again.
    void reset()
    {
        on.clear();
        on_raw = nullptr;
        requests.clear();
        peer_.on_write = [this](const std::string& w) {
            if (w.rfind("<?xml", 0) != 0) {
                if (on_raw)
                    on_raw(w);
                return;
            }
            requests.push_back(w);
            const auto handler = on.find(name_of(w));
            if (handler != on.end())
                handler->second(w);
        };
        on["nop"] = [this](const std::string&) { peer_.deliver(ack); };
    }

    static std::string name_of(const std::string& request)
    {
        const std::size_t open = request.find('<', std::strlen(frame_head) - 1);
        const std::size_t end = request.find_first_of(" />", open + 1);
        return request.substr(open + 1, end - open - 1);
    }
    static std::string attr(const std::string& request, const std::string& name)
    {
        const std::string key = " " + name + "=\"";
        const std::size_t at = request.find(key);
        if (at == std::string::npos)
            return "(absent)";
        const std::size_t begin = at + key.size();
        return request.substr(begin, request.find('"', begin) - begin);
    }
    std::vector<std::string> named(const std::string& name) const
    {
        std::vector<std::string> out;
        for (const auto& r : requests)
            if (name_of(r) == name)
                out.push_back(r);
        return out;
    }

    std::map<std::string, std::function<void(const std::string&)>> on;
    std::function<void(const std::string&)> on_raw;
    std::vector<std::string> requests;

private:
    peer& peer_;
};

class firehose_scripted : public ::testing::Test {
protected:
    void SetUp() override { restart(); }
    void TearDown() override { link.reset(); }

    // Greeting of two log documents, then the programmer falls silent; configure
    // requests get the given replies in turn.
    void open(firehose& fh, std::vector<std::string> configure_replies, bool skip_write = false,
              std::uint32_t sector_size = 4096, const firehose_options& options = {})
    {
        link.deliver(log_document("INFO: Binary build date: today"));
        link.deliver(log_document("INFO: Chip serial num: 1234"));
        link.deliver_silence();
        auto replies = std::make_shared<std::vector<std::string>>(std::move(configure_replies));
        target.on["configure"] = [this, replies](const std::string&) {
            if (!replies->empty()) {
                link.deliver(replies->front());
                replies->erase(replies->begin());
            }
        };
        fh.open(peer::current(), skip_write, memory_ufs, sector_size, options);
    }
    void open_connected(firehose& fh, const std::string& from_target = "16384", std::uint32_t sector_size = 4096,
                        const std::string& to_target = "1048576", const firehose_options& options = {})
    {
        open(fh, {configure_reply("ACK", to_target, from_target)}, false, sector_size, options);
        target.requests.clear();
    }

    // A fresh link and programmer for the next case of a table.
    void restart()
    {
        link.reset();
        target.reset();
    }

    peer& link = peer::current();
    log_capture log;
    programmer target{link};
};

// ---- open: greeting, ping, configure ----

TEST_F(firehose_scripted, open_logs_greeting_pings_then_configures_with_default_payloads)
{
    firehose fh;
    open(fh, {configure_reply("ACK", "1048576", "1048576")});

    EXPECT_EQ(link.timeout(), 500u);
    EXPECT_TRUE(log.has("I:log: INFO: Binary build date: today\n"));
    EXPECT_TRUE(log.has("I:log: INFO: Chip serial num: 1234\n"));
    ASSERT_EQ(target.requests.size(), 2u);
    EXPECT_EQ(target.requests[0], framed("<nop value=\"ping\"/>"));
    EXPECT_EQ(target.requests[1],
              framed("<configure ZLPAwareHost=\"0\" SkipStorageInit=\"0\" MemoryName=\"ufs\" SkipWrite=\"0\" "
                     "MaxPayloadSizeToTargetInBytes=\"1048576\" MaxPayloadSizeFromTargetInBytes=\"16384\"/>"));
    EXPECT_EQ(fh.max_payload_from_target(), 1048576u);
    EXPECT_EQ(fh.data_piece_bytes(), 1048576u);
    EXPECT_EQ(fh.sector_size(), 4096u);
    EXPECT_TRUE(log.has("I:firehose >>> " + framed("<nop value=\"ping\"/>") + "\n"));
}

TEST_F(firehose_scripted, refused_configure_is_repeated_once_with_the_proposed_size)
{
    firehose fh;
    open(fh, {configure_reply("NAK", "131072", "16384"), configure_reply("ACK", "131072", "16384")}, true);

    const auto configures = target.named("configure");
    ASSERT_EQ(configures.size(), 2u);
    EXPECT_EQ(programmer::attr(configures[0], "MaxPayloadSizeToTargetInBytes"), "1048576");
    EXPECT_EQ(programmer::attr(configures[1], "MaxPayloadSizeToTargetInBytes"), "131072");
    EXPECT_EQ(programmer::attr(configures[1], "MaxPayloadSizeFromTargetInBytes"), "16384");
    for (const auto& c : configures)
        EXPECT_EQ(programmer::attr(c, "SkipWrite"), "1");
    EXPECT_EQ(fh.data_piece_bytes(), 131072u);

    // A smaller proposal of our own gives the original configure, byte for byte.
    restart();
    firehose small;
    firehose_options options;
    options.max_payload_to_target = 16384;
    open(small, {configure_reply("ACK", "16384", "16384")}, false, 4096, options);
    EXPECT_EQ(target.named("configure").at(0),
              framed("<configure ZLPAwareHost=\"0\" SkipStorageInit=\"0\" MemoryName=\"ufs\" SkipWrite=\"0\" "
                     "MaxPayloadSizeToTargetInBytes=\"16384\" MaxPayloadSizeFromTargetInBytes=\"16384\"/>"));
    EXPECT_EQ(small.data_piece_bytes(), 16384u);
}

TEST_F(firehose_scripted, proposals_outside_4k_to_2g_are_refused_before_a_second_configure)
{
    struct proposal {
        std::string text;
        bool accepted;
    };
    const proposal cases[] = {
        {"2048", false},          {"0x800", false},      {"4095", false}, {"4096", true},
        {"2147483648", true},     {"2147483649", false}, {"", false},     {"4294971392", false},  // 2^32 + 4096
        {"0x80000000", true},     {"-4096", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("proposal '" + c.text + "'");
        restart();
        firehose fh;
        const std::vector<std::string> replies = {configure_reply("NAK", c.text, "16384"),
                                                  configure_reply("ACK", c.text, "16384")};
        if (c.accepted) {
            EXPECT_NO_THROW(open(fh, replies));
            const auto configures = target.named("configure");
            ASSERT_EQ(configures.size(), 2u);
            EXPECT_EQ(std::stoull(programmer::attr(configures[1], "MaxPayloadSizeToTargetInBytes")),
                      std::stoull(c.text, nullptr, 0));
        } else {
            try {
                open(fh, replies);
                ADD_FAILURE() << "open succeeded";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "payload size out of bounds");
            }
            EXPECT_EQ(target.named("configure").size(), 1u);
        }
    }
}

TEST_F(firehose_scripted, configure_refused_twice_or_without_version_fails)
{
    {
        firehose fh;
        try {
            open(fh, {configure_reply("NAK", "4096", "16384"), configure_reply("NAK", "4096", "16384")});
            ADD_FAILURE() << "open succeeded";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "no ack from target");
        }
        EXPECT_EQ(target.named("configure").size(), 2u);
    }
    for (const std::string version : {"", " MinVersionSupported=\"0\"", " MinVersionSupported=\"soon\""}) {
        restart();
        firehose fh;
        try {
            open(fh, {response_document("value=\"ACK\"" + version + " MaxPayloadSizeFromTargetInBytes=\"16384\"")});
            ADD_FAILURE() << "open succeeded with '" << version << "'";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "target version unsupported");
        }
    }
}

TEST_F(firehose_scripted, silent_programmer_costs_one_failed_read_before_the_ping)
{
    link.deliver_silence();
    target.on["configure"] = [this](const std::string&) { link.deliver(configure_reply("ACK", "4096", "4096")); };
    firehose fh;
    fh.open(peer::current(), false, memory_emmc, 512);
    // greeting: 1 failed read; ping: 1; configure: 1.
    EXPECT_EQ(link.reads(), 3u);
    EXPECT_EQ(programmer::attr(target.requests.at(1), "MemoryName"), "emmc");
}

// ---- documents ----

TEST_F(firehose_scripted, two_documents_in_one_transfer_are_handed_out_one_per_call)
{
    firehose fh;
    open_connected(fh);
    target.on["nop"] = [this](const std::string&) {
        if (target.named("nop").size() == 1)
            link.deliver(document("<log value=\"first\"/><response value=\"ACK\"/>") + log_document("second") + ack);
    };
    fh.nop("one");
    const std::size_t reads = link.reads();
    fh.nop("two");
    EXPECT_EQ(link.reads(), reads);  // the second answer was already there
    EXPECT_TRUE(log.has("I:log: first\n"));
    EXPECT_TRUE(log.has("I:log: second\n"));
}

TEST_F(firehose_scripted, document_split_across_three_transfers_is_returned_when_complete)
{
    firehose fh;
    open_connected(fh);
    const std::string doc = document("<log value=\"INFO: Calling handler for nop\" /><response value=\"ACK\" />");
    target.on["nop"] = [&, this](const std::string&) {
        link.deliver(doc.substr(0, 20));
        link.deliver(doc.substr(20, doc.size() - 24));  // ends inside "</data>": "/d"
        link.deliver(doc.substr(doc.size() - 4));
    };
    const std::size_t before = link.reads();
    fh.nop("x");
    EXPECT_EQ(link.reads(), before + 3);
    EXPECT_TRUE(log.has("I:log: INFO: Calling handler for nop\n"));
}

TEST_F(firehose_scripted, closing_bracket_arriving_late_still_completes_the_document)
{
    firehose fh;
    open_connected(fh);
    target.on["nop"] = [this](const std::string&) {
        link.deliver(ack.substr(0, ack.size() - 1));  // everything up to "</data"
        link.deliver(">");
    };
    EXPECT_NO_THROW(fh.nop("x"));
}

TEST_F(firehose_scripted, logs_before_the_response_are_logged_and_those_after_are_not)
{
    firehose fh;
    open_connected(fh);
    target.on["nop"] = [this](const std::string&) {
        link.deliver(document("<log value=\"before\"/><response value=\"ACK\"/><log value=\"after\"/>"));
    };
    fh.nop("x");
    EXPECT_TRUE(log.has("I:log: before\n"));
    EXPECT_FALSE(log.has("I:log: after\n"));
}

TEST_F(firehose_scripted, log_documents_before_the_response_document_are_read_through)
{
    firehose fh;
    open_connected(fh);
    target.on["nop"] = [this](const std::string&) {
        link.deliver(log_document("one"));
        link.deliver(document("<log/>"));  // no value: an empty line
        link.deliver(ack);
    };
    fh.nop("x");
    EXPECT_TRUE(log.has("I:log: one\n"));
    EXPECT_TRUE(log.has("I:log: \n"));
}

TEST_F(firehose_scripted, line_break_between_documents_does_not_break_the_next_one)
{
    firehose fh;
    open_connected(fh);
    target.on["nop"] = [this](const std::string&) { link.deliver(ack + "\r\n"); };
    fh.nop("a");
    fh.nop("b");  // this document begins with the line break left over
}

TEST_F(firehose_scripted, data_inside_a_log_text_cuts_the_document_and_both_halves_fail)
{
    firehose fh;
    open_connected(fh);
    target.on["nop"] = [this](const std::string&) {
        link.deliver(document("<log value=\"see /data/x\"/><response value=\"ACK\"/>"));
    };
    try {
        fh.nop("x");
        ADD_FAILURE() << "a cut document was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unable to find xml document");
    }
    try {
        fh.expect_ack();
        ADD_FAILURE() << "the rest of the cut document was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "unable to find xml document");
    }
}

TEST_F(firehose_scripted, long_documents_arrive_whole_but_endless_input_is_refused)
{
    firehose fh;
    open_connected(fh);
    // Programmers send documents of up to their MaxXMLSizeInBytes, several in one transfer.
    const std::string long_log = log_document("INFO: " + std::string(1100, 'l'));
    const std::string replies[] = {long_log + ack, log_document(std::string(900, 'm')) + ack};
    for (const auto& reply : replies) {
        target.on["nop"] = [this, reply](const std::string&) { link.deliver(reply); };
        EXPECT_NO_THROW(fh.nop("x"));
    }

    target.on["nop"] = [this](const std::string&) {
        for (int i = 0; i < 5; ++i)
            link.deliver(std::string(65536, ' '));
    };
    try {
        fh.nop("y");
        ADD_FAILURE() << "nop acknowledged";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("firehose: no reply from the programmer could be read (", 0), 0u)
            << e.what();
    }
}

TEST_F(firehose_scripted, response_values_of_any_length_are_kept_whole)
{
    firehose fh;
    open_connected(fh);
    const std::string long_value(700, 'v');
    link.deliver(response_document("value=\"ACK\" TargetName=\"" + long_value + "\""));
    firehose::slot slots[] = {{"TargetName", "stale"}, {"Version", "stale"}};
    fh.receive_response(slots, 2);
    EXPECT_EQ(slots[0].value, long_value);
    EXPECT_EQ(slots[1].value, "");  // absent attributes clear the slot
}

TEST_F(firehose_scripted, silence_while_waiting_for_a_response_is_the_port_time_out)
{
    firehose fh;
    open_connected(fh);
    target.on["nop"] = [](const std::string&) {};
    try {
        fh.nop("x");
        ADD_FAILURE() << "nop acknowledged";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), timeout_text());
    }
}

// ---- simple commands ----

TEST_F(firehose_scripted, commands_send_their_requests_and_need_an_ack)
{
    firehose fh;
    open_connected(fh);
    for (const char* name : {"power", "peek", "poke", "benchmark", "patch"})
        target.on[name] = [this](const std::string&) { link.deliver(ack); };

    fh.power("reset");
    EXPECT_EQ(fh.peek(0x80000000ull, 16).size(), 0u);
    fh.poke(0x123456789aull, 8, "0102030405060708");
    fh.benchmark(5);
    fh.command("<patch SECTOR_SIZE_IN_BYTES=\"4096\" byte_offset=\"0\" filename=\"DISK\" value=\"0\"/>");

    const std::vector<std::string> expected = {
        framed("<power value=\"reset\"/>"),
        framed("<peek address64=\"0x80000000\" size_in_bytes=\"16\"/>"),
        framed("<poke address64=\"0x123456789a\" size_in_bytes=\"8\" value=\"0x0102030405060708\"/>"),
        framed("<benchmark trials=\"5\" TestWritePerformance=\"1\"/>"),
        framed("<patch SECTOR_SIZE_IN_BYTES=\"4096\" byte_offset=\"0\" filename=\"DISK\" value=\"0\"/>"),
    };
    EXPECT_EQ(target.requests, expected);

    target.on["power"] = [this](const std::string&) { link.deliver(nak); };
    try {
        fh.power("reset");
        ADD_FAILURE() << "refused power accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "no ack from target");
    }
}

TEST_F(firehose_scripted, poke_size_must_be_1_to_8_before_anything_is_sent)
{
    firehose fh;
    open_connected(fh);
    target.on["poke"] = [this](const std::string&) { link.deliver(ack); };
    for (std::uint32_t size : {0u, 9u}) {
        try {
            fh.poke(0x1000, size, "00");
            ADD_FAILURE() << "poke of " << size << " bytes accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "bad parameters to poke");
        }
    }
    EXPECT_TRUE(target.requests.empty());
    fh.poke(0x1000, 1, "ff");
    EXPECT_EQ(target.requests.size(), 1u);
}

TEST_F(firehose_scripted, requests_over_1023_characters_are_refused_not_cut)
{
    firehose fh;
    open_connected(fh);
    target.on["patch"] = [this](const std::string&) { link.deliver(ack); };
    const std::size_t frame = std::strlen(frame_head) + std::strlen(frame_tail);
    const std::string head = "<patch value=\"";
    const std::string tail = "\"/>";
    auto element_of_length = [&](std::size_t n) { return head + std::string(n - head.size() - tail.size(), 'x') + tail; };

    const std::string fits = element_of_length(1023 - frame);
    fh.command(fits);
    ASSERT_EQ(target.requests.size(), 1u);
    EXPECT_EQ(target.requests[0].size(), 1023u);

    try {
        fh.command(element_of_length(1024 - frame));
        ADD_FAILURE() << "a 1024-character request was sent";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "firehose: request longer than 1023 characters");
    }
    try {
        fh.send(std::string(2000, 'x'));
        ADD_FAILURE() << "a 2000-character request was sent";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "firehose: request longer than 1023 characters");
    }
    EXPECT_EQ(link.writes().size(), 3u);  // ping, configure, the request that fitted
}

TEST_F(firehose_scripted, storage_queries_read_their_attribute_as_a_number)
{
    firehose fh;
    open_connected(fh);
    std::string answer;
    target.on["getnumdisksectors"] = [&, this](const std::string&) { link.deliver(response_document(answer)); };
    target.on["getStorageInfo"] = [&, this](const std::string&) { link.deliver(response_document(answer)); };

    struct reading {
        std::string attributes;
        std::uint64_t sectors;
    };
    const reading cases[] = {
        {"value=\"ACK\" NumDiskSectors=\"15269888\"", 15269888},
        {"value=\"ACK\" NumDiskSectors=\"0x100\"", 256},
        {"value=\"ACK\" NumDiskSectors=\"010\"", 8},
        {"value=\"NAK\"", 0},
        {"value=\"ACK\" NumDiskSectors=\"lots\"", 0},
        {"value=\"ACK\" NumDiskSectors=\"-1\"", 0},
        // Disks of 2^32 sectors and more exist (2 TiB of 512-byte sectors).
        {"value=\"ACK\" NumDiskSectors=\"4294967296\"", 4294967296},
        {"value=\"ACK\" NumDiskSectors=\"18446744073709551616\"", 0},
    };
    for (const auto& c : cases) {
        answer = c.attributes;
        EXPECT_EQ(fh.num_disk_sectors(), c.sectors) << c.attributes;
    }
    fh.set_physical_partition(3);
    answer = "value=\"ACK\" TotalLogicalBlocks=\"1000\"";
    EXPECT_EQ(fh.total_logical_blocks(), 1000u);
    EXPECT_EQ(target.requests.back(), framed("<getStorageInfo physical_partition_number=\"3\"/>"));
    EXPECT_EQ(target.requests.front(), framed("<getnumdisksectors physical_partition_number=\"0\"/>"));
}

// ---- read ----

class firehose_scripted_read : public firehose_scripted {
protected:
    // Serves read requests from `disk` (sector_size-byte sectors); `stall`
    // decides per request (counted from 1) to send half the data and stop.
    void serve(std::uint32_t sector_size, std::function<bool(std::size_t)> stall = nullptr)
    {
        target.on["read"] = [this, sector_size, stall](const std::string& r) {
            const std::size_t start = std::stoul(programmer::attr(r, "start_sector"));
            const std::size_t count = std::stoul(programmer::attr(r, "num_partition_sectors"));
            link.deliver(raw_on);
            const std::string data = disk.substr(start * sector_size, count * sector_size);
            if (stall && stall(target.named("read").size())) {
                link.deliver(data.substr(0, data.size() / 2));
                link.deliver_silence();
                link.deliver(std::string(100, 'z'));  // late bytes the drain must discard
                return;
            }
            link.deliver(data);
            link.deliver(ack);
        };
    }
    std::string disk = pattern(2 << 20, 1);
};

TEST_F(firehose_scripted_read, chunks_never_exceed_the_target_payload)
{
    firehose fh;
    open_connected(fh, "131072");
    serve(4096);
    const buffer got = fh.read(10, 100);

    const auto reads = target.named("read");
    ASSERT_EQ(reads.size(), 4u);
    const std::pair<const char*, const char*> expected[] = {{"10", "32"}, {"42", "32"}, {"74", "32"}, {"106", "4"}};
    for (std::size_t i = 0; i < reads.size(); ++i) {
        EXPECT_EQ(programmer::attr(reads[i], "start_sector"), expected[i].first);
        EXPECT_EQ(programmer::attr(reads[i], "num_partition_sectors"), expected[i].second);
        EXPECT_EQ(programmer::attr(reads[i], "SECTOR_SIZE_IN_BYTES"), "4096");
        EXPECT_EQ(programmer::attr(reads[i], "physical_partition_number"), "0");
    }
    ASSERT_EQ(got.size(), 100u * 4096);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.c_ptr()), got.size()), disk.substr(10 * 4096, 100 * 4096));
}

TEST_F(firehose_scripted_read, stalled_data_is_asked_for_again_without_its_partial_bytes)
{
    firehose fh;
    open_connected(fh, "16384", 512);
    serve(512, [](std::size_t n) { return n == 2; });
    const buffer got = fh.read(0, 64);

    EXPECT_EQ(log.count("E:firehose: timeout, retry\n"), 1u);
    const auto reads = target.named("read");
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(programmer::attr(reads[1], "start_sector"), "32");
    EXPECT_EQ(programmer::attr(reads[2], "start_sector"), "32");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.c_ptr()), got.size()), disk.substr(0, 64 * 512));
}

TEST_F(firehose_scripted_read, data_that_never_comes_fails_after_three_attempts)
{
    firehose fh;
    open_connected(fh, "16384", 512);
    serve(512, [](std::size_t) { return true; });
    try {
        fh.read(0, 8);
        ADD_FAILURE() << "read succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), timeout_text());
    }
    EXPECT_EQ(target.named("read").size(), 3u);
    EXPECT_EQ(log.count("E:firehose: timeout, retry\n"), 2u);
}

TEST_F(firehose_scripted_read, payload_smaller_than_a_sector_fails_before_asking)
{
    // An acknowledgement without the size leaves the 16384 asked for (see
    // programmer_without_a_from_target_size_sends_what_was_asked).
    for (const char* from : {"2048"}) {
        restart();
        firehose fh;
        open_connected(fh, from);
        serve(4096);
        try {
            fh.read(0, 1);
            ADD_FAILURE() << "read with payload '" << from << "' succeeded";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "target payload size too small for a sector");
        }
        EXPECT_TRUE(target.named("read").empty());
    }
}

TEST_F(firehose_scripted_read, refusals_before_the_data)
{
    firehose fh;
    open_connected(fh);
    target.on["read"] = [this](const std::string&) { link.deliver(response_document("value=\"NAK\" rawmode=\"true\"")); };
    try {
        fh.read(0, 1);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "no ack from target");
    }
    target.on["read"] = [this](const std::string&) { link.deliver(ack); };
    try {
        fh.read(0, 1);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "no rawmode from target");
    }
}

TEST_F(firehose_scripted_read, read_to_file_keeps_2048_sectors_per_read)
{
    firehose fh;
    open_connected(fh, "1048576", 512);
    serve(512);
    const auto path = std::filesystem::temp_directory_path() / ("brv_read_" + std::to_string(::getpid()) + ".bin");
    fh.read_to_file(1, 2050, path.string());

    std::ifstream in(path, std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(path);
    EXPECT_EQ(written, disk.substr(512, 2050 * 512));
    const auto reads = target.named("read");
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(programmer::attr(reads[0], "num_partition_sectors"), "2048");
    EXPECT_EQ(programmer::attr(reads[1], "start_sector"), "2049");
    EXPECT_EQ(programmer::attr(reads[1], "num_partition_sectors"), "2");
}

TEST_F(firehose_scripted_read, ranges_past_32_bit_sector_numbers_are_refused)
{
    firehose fh;
    open_connected(fh);
    serve(4096);
    try {
        fh.read(0xffffff00u, 0x200);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "firehose: sector range beyond 32-bit sector numbers");
    }
    EXPECT_TRUE(target.named("read").empty());
}

// ---- program ----

class firehose_scripted_program : public firehose_scripted {
protected:
    // Takes raw data after a rawmode="true" answer and closes with `closing`
    // once the announced sectors have arrived.
    void serve(std::string closing = raw_off)
    {
        const auto handler = [this, closing](const std::string& r) {
            announced = std::stoul(programmer::attr(r, "num_partition_sectors")) * 4096;
            link.deliver(raw_on);
            if (announced == 0)
                link.deliver(closing);
        };
        target.on["program"] = handler;
        target.on["custom"] = handler;
        target.on_raw = [this, closing](const std::string& data) {
            raw_writes.push_back(data);
            received += data.size();
            if (received == announced)
                link.deliver(closing);
        };
    }
    std::size_t announced = 0;
    std::size_t received = 0;
    std::vector<std::string> raw_writes;
};

TEST_F(firehose_scripted_program, data_goes_in_negotiated_pieces_then_a_ping)
{
    struct data_case {
        const char* accepted;   // MaxPayloadSizeToTargetInBytes in the configure ACK
        bool sector_writes;
        std::vector<std::size_t> writes;
    };
    const data_case cases[] = {
        {"16384", false, {16384, 4096}},
        {"10000", false, {8192, 8192, 4096}},  // whole sectors only
        {"16384", true, {4096, 4096, 4096, 4096, 4096}},
        {"1048576", false, {20480}},
    };
    const std::string image = pattern(5 * 4096, 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.accepted) + (c.sector_writes ? " sector writes" : ""));
        restart();
        firehose_options options;
        options.sector_writes = c.sector_writes;
        firehose fh;
        open_connected(fh, "16384", 4096, c.accepted, options);
        serve();
        raw_writes.clear();
        received = 0;
        fh.set_physical_partition(2);
        fh.program(100, reinterpret_cast<const std::uint8_t*>(image.data()), 5 * 4096);

        std::vector<std::size_t> sizes;
        std::string joined;
        for (const auto& w : raw_writes) {
            sizes.push_back(w.size());
            joined += w;
        }
        EXPECT_EQ(sizes, c.writes);
        EXPECT_EQ(joined, image);
        EXPECT_TRUE(log.has("I:Write 20480 bytes, 5 sectors\n"));
        ASSERT_EQ(target.requests.size(), 2u);
        EXPECT_EQ(target.requests[0],
                  framed("<program SECTOR_SIZE_IN_BYTES=\"4096\" num_partition_sectors=\"5\" "
                         "physical_partition_number=\"2\" start_sector=\"100\" read_back_verify=\"0\"/>"));
        EXPECT_EQ(target.requests[1], framed("<nop value=\"ping\"/>"));
    }
}

TEST_F(firehose_scripted_program, a_short_source_is_padded_with_zeros_and_progress_follows_the_pieces)
{
    firehose fh;
    open_connected(fh, "16384", 4096, "8192");
    serve();
    class short_source : public byte_source {
    public:
        std::size_t read(std::uint8_t* out, std::size_t len) override
        {
            // Odd-sized reads, as an inflating member gives them.
            const std::size_t n = std::min<std::size_t>({len, left, 1000});
            std::memset(out, 0xab, n);
            left -= n;
            return n;
        }
        std::size_t left = 5000;
    } source;
    std::vector<std::uint64_t> reports;
    fh.program_element("<custom num_partition_sectors=\"4\"/>", source, 4 * 4096,
                       [&](std::uint64_t done) { reports.push_back(done); });

    std::string joined;
    for (const auto& w : raw_writes)
        joined += w;
    EXPECT_EQ(joined, std::string(5000, '\xab') + std::string(4 * 4096 - 5000, '\0'));
    EXPECT_EQ(reports, (std::vector<std::uint64_t>{8192, 16384}));
}

TEST_F(firehose_scripted_program, partial_sectors_are_refused_before_anything_is_sent)
{
    firehose fh;
    open_connected(fh);
    serve();
    const std::string image(4097, 'a');
    const auto data = reinterpret_cast<const std::uint8_t*>(image.data());
    const std::function<void()> attempts[] = {
        [&] { fh.program(0, data, 4097); },
        [&] { fh.program_element("<custom/>", data, 4097); },
    };
    for (const auto& attempt : attempts) {
        try {
            attempt();
            ADD_FAILURE() << "partial sector accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "attempt to write partial sector");
        }
    }
    EXPECT_TRUE(target.requests.empty());
    EXPECT_TRUE(raw_writes.empty());
}

TEST_F(firehose_scripted_program, programmer_still_in_raw_mode_after_the_data_fails)
{
    firehose fh;
    open_connected(fh);
    serve(raw_on);
    const std::string image(4096, 'b');
    try {
        fh.program(0, reinterpret_cast<const std::uint8_t*>(image.data()), 4096);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "no rawmode from target");
    }
    EXPECT_TRUE(target.named("nop").empty());
}

TEST_F(firehose_scripted_program, refusals_around_the_data)
{
    firehose fh;
    open_connected(fh);
    const std::string image(4096, 'c');
    const auto data = reinterpret_cast<const std::uint8_t*>(image.data());

    target.on["program"] = [this](const std::string&) { link.deliver(nak); };
    try {
        fh.program(0, data, 4096);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "no ack from target");
    }
    EXPECT_TRUE(raw_writes.empty());

    serve(response_document("value=\"NAK\" rawmode=\"false\""));
    try {
        fh.program(0, data, 4096);
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "no ack from target");
    }

    // The programmer's reason, given in a log line before its refusal, is part
    // of the message, and the refusal is told apart from a broken link.
    target.on["program"] = [this](const std::string&) {
        link.deliver(log_document("ERROR: range restricted: lun=0, start_sector=9999, num_sectors=1") + nak);
    };
    try {
        fh.program(0, data, 4096);
        ADD_FAILURE();
    } catch (const firehose_refusal& e) {
        EXPECT_STREQ(e.what(), "no ack from target (programmer: ERROR: range restricted: lun=0, "
                               "start_sector=9999, num_sectors=1)");
    }

    // A reason that would move the cursor or forge a line of output is shown escaped.
    target.on["program"] = [this](const std::string&) {
        link.deliver(log_document("ERROR: no&#13;Succeeded&#10;\\&#127;") + nak);
    };
    try {
        fh.program(0, data, 4096);
        ADD_FAILURE();
    } catch (const firehose_refusal& e) {
        EXPECT_STREQ(e.what(), "no ack from target (programmer: ERROR: no\\x0dSucceeded\\x0a\\\\\\x7f)");
    }
}

TEST_F(firehose_scripted_program, element_and_file_forms_send_the_same_data)
{
    firehose fh;
    open_connected(fh);
    serve();
    const std::string image = pattern(3 * 4096, 9);
    const auto path = std::filesystem::temp_directory_path() / ("brv_prog_" + std::to_string(::getpid()) + ".bin");
    {
        std::ofstream out(path, std::ios::binary);
        out << image;
    }
    fh.program_element("<custom num_partition_sectors=\"3\" start_sector=\"5\"/>", path.string());
    std::filesystem::remove(path);

    EXPECT_EQ(target.requests.at(0), framed("<custom num_partition_sectors=\"3\" start_sector=\"5\"/>"));
    ASSERT_EQ(raw_writes.size(), 1u);
    EXPECT_EQ(raw_writes[0], image);

    buffer b;
    b.enqueue(image.data(), 4096);
    raw_writes.clear();
    received = 0;
    fh.program(7, b);
    ASSERT_EQ(raw_writes.size(), 1u);
    EXPECT_EQ(raw_writes[0], image.substr(0, 4096));
}

// ---- further verbs: the programmer's list, digests, erase, boot drive, storage report ----

class firehose_scripted_verbs : public firehose_scripted {
protected:
    // Connected to a programmer whose nop answers list `verbs`.
    void connect(firehose& fh, const std::string& verbs)
    {
        target.on["nop"] = [this, verbs](const std::string&) {
            link.deliver(log_document("INFO: Supported Functions: " + verbs));
            link.deliver(ack);
        };
        open_connected(fh);
    }
    // Each request named `verb` is answered with these log lines, then `response`.
    void answer(const std::string& verb, const std::vector<std::string>& logs, const std::string& response = ack)
    {
        target.on[verb] = [this, logs, response](const std::string&) {
            for (const auto& l : logs)
                link.deliver(log_document(l));
            link.deliver(response);
        };
    }
    const std::string all_verbs = "configure program read patch erase nop power getStorageInfo getsha256digest "
                                  "setbootablestoragedrive";
    const std::string digest_hex = "00112233445566778899aabbccddeeff0123456789ABCDEF0011223344556677";
};

TEST_F(firehose_scripted_verbs, the_latest_supported_functions_line_says_what_may_be_sent)
{
    firehose fh;
    open_connected(fh);  // neither the greeting nor the ping lists verbs
    EXPECT_FALSE(fh.verbs_known());
    for (const char* verb : {"program", "read", "patch", "nop", "power", "configure"})
        EXPECT_TRUE(fh.supports(verb)) << verb;
    for (const char* verb : {"erase", "getsha256digest", "setbootablestoragedrive", "getStorageInfo"})
        EXPECT_FALSE(fh.supports(verb)) << verb;
    const std::pair<const char*, std::function<void()>> unoffered[] = {
        {"erase", [&] { fh.erase(0, 0, 1); }},
        {"erase", [&] { fh.erase_lun(0); }},
        {"getsha256digest", [&] { fh.sha256_digest(0, 0, 1); }},
        {"setbootablestoragedrive", [&] { fh.set_bootable_storage_drive(1); }},
        {"getStorageInfo", [&] { fh.storage_info(0); }},
    };
    for (const auto& [verb, call] : unoffered) {
        try {
            call();
            ADD_FAILURE() << verb << " was sent";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), std::string("firehose: the programmer does not offer ") + verb);
        }
    }
    EXPECT_TRUE(target.requests.empty());

    target.on["nop"] = [this](const std::string&) {
        link.deliver(log_document("INFO: Supported Functions: program read nop erase getstorageinfo"));
        link.deliver(ack);
    };
    fh.nop("list");
    EXPECT_TRUE(fh.verbs_known());
    EXPECT_TRUE(fh.supports("erase"));
    EXPECT_TRUE(fh.supports("getStorageInfo"));  // programmers take verbs in any case
    EXPECT_FALSE(fh.supports("patch"));          // a list that leaves it out is believed
    EXPECT_FALSE(fh.supports("getsha256digest"));

    target.on["nop"] = [this](const std::string&) {
        link.deliver(log_document("INFO: Supported Functions (2): nop getsha256digest"));
        link.deliver(ack);
    };
    fh.nop("again");
    EXPECT_FALSE(fh.supports("erase"));
    EXPECT_TRUE(fh.supports("getsha256digest"));
}

TEST_F(firehose_scripted_verbs, requests_on_the_wire)
{
    firehose fh;
    connect(fh, all_verbs);
    answer("getsha256digest", {"INFO: hashing", "Digest 0x" + digest_hex});
    answer("erase", {});
    answer("setbootablestoragedrive", {});

    const auto digest = fh.sha256_digest(3, 6, 1048576);
    fh.erase(2, 0x10000, 524288);
    fh.erase_lun(5);
    fh.set_bootable_storage_drive(2);
    const std::vector<std::string> expected = {
        framed("<getsha256digest SECTOR_SIZE_IN_BYTES=\"4096\" physical_partition_number=\"3\" start_sector=\"6\" "
               "num_partition_sectors=\"1048576\"/>"),
        framed("<erase SECTOR_SIZE_IN_BYTES=\"4096\" physical_partition_number=\"2\" start_sector=\"65536\" "
               "num_partition_sectors=\"524288\"/>"),
        framed("<erase SECTOR_SIZE_IN_BYTES=\"4096\" physical_partition_number=\"5\"/>"),
        framed("<setbootablestoragedrive value=\"2\"/>"),
    };
    EXPECT_EQ(target.requests, expected);
    const std::array<std::uint8_t, 32> want = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                               0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab,
                                               0xcd, 0xef, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    EXPECT_EQ(digest, want);
}

TEST_F(firehose_scripted_verbs, refusals_and_answers_without_a_digest)
{
    firehose fh;
    connect(fh, all_verbs);
    struct reply_case {
        std::vector<std::string> logs;
        std::string response;
        std::string failure;
    };
    const reply_case cases[] = {
        {{"ERROR: range restricted: lun=0, start_sector=9, num_sectors=1"}, nak,
         "no ack from target (programmer: ERROR: range restricted: lun=0, start_sector=9, num_sectors=1)"},
        {{}, ack, "firehose: no digest in the programmer's answer"},
        {{"Digest 0x" + digest_hex.substr(0, 62)}, ack, "firehose: no digest in the programmer's answer"},
        {{"Digest 0x" + digest_hex.substr(0, 62) + "zz"}, ack, "firehose: no digest in the programmer's answer"},
    };
    for (const auto& c : cases) {
        answer("getsha256digest", c.logs, c.response);
        try {
            fh.sha256_digest(0, 9, 1);
            ADD_FAILURE() << "digest accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), c.failure);
        }
    }
    answer("erase", {"ERROR: Failed to erase storage"}, nak);
    try {
        fh.erase_lun(1);
        ADD_FAILURE() << "refused erase accepted";
    } catch (const firehose_refusal& e) {
        EXPECT_EQ(e.reason(), "ERROR: Failed to erase storage");
    }
}

TEST_F(firehose_scripted_verbs, storage_report_from_json_then_words_then_the_attribute)
{
    firehose fh;
    connect(fh, all_verbs);
    struct report_case {
        std::vector<std::string> logs;
        std::string response;
        firehose_storage_info want;
    };
    const std::string json = "{&quot;storage_info&quot;: {&quot;total_blocks&quot;: 15269888, &quot;block_size&quot;: "
                             "4096, &quot;page_size&quot;: 4096, &quot;num_physical&quot;: 6, &quot;mem_type&quot;: "
                             "&quot;UFS&quot;, &quot;prod_name&quot;: &quot;KLUDG4UHDB-B2D1&quot;}}";
    const report_case cases[] = {
        {{"INFO: total_blocks=1 block_size=512 num_physical=1 mem_type=eMMC", json},
         response_document("value=\"ACK\" TotalLogicalBlocks=\"7\""),
         {15269888, 4096, 4096, 6, "UFS", "KLUDG4UHDB-B2D1"}},
        {{"INFO: total_blocks=30777344 block_size=512 num_physical=1 mem_type=eMMC"}, ack,
         {30777344, 512, 0, 1, "eMMC", ""}},
        {{"{&quot;storage_info&quot;: broken"}, response_document("value=\"ACK\" TotalLogicalBlocks=\"0x100\""),
         {256, 0, 0, 0, "", ""}},
        {{}, response_document("value=\"ACK\" TotalLogicalBlocks=\"-1\""), {0, 0, 0, 0, "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logs.empty() ? "attribute only" : c.logs.back());
        answer("getStorageInfo", c.logs, c.response);
        const firehose_storage_info got = fh.storage_info(4);
        EXPECT_EQ(got.total_blocks, c.want.total_blocks);
        EXPECT_EQ(got.block_size, c.want.block_size);
        EXPECT_EQ(got.page_size, c.want.page_size);
        EXPECT_EQ(got.num_physical, c.want.num_physical);
        EXPECT_EQ(got.mem_type, c.want.mem_type);
        EXPECT_EQ(got.prod_name, c.want.prod_name);
    }
    EXPECT_EQ(target.requests.back(), framed("<getStorageInfo physical_partition_number=\"4\"/>"));
    answer("getStorageInfo", {"ERROR: Invalid physical_partition_number '9'"}, nak);
    try {
        fh.storage_info(9);
        ADD_FAILURE() << "refused report accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "no ack from target (programmer: ERROR: Invalid physical_partition_number '9')");
    }
}

} // namespace
