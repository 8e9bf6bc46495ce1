#include "test_support.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>

using namespace vhtest;
using vhandset::handset_options;
using vhandset::parse_option;

namespace {

constexpr unsigned startup_count = 2;

handset_options options(std::initializer_list<std::pair<const char*, const char*>> settings)
{
    handset_options o;
    o.startup_logs = startup_count;
    o.reset_delay_ms = 0;
    o.data_timeout_ms = 300;
    o.disk_size = 4 << 20;
    for (const auto& [k, v] : settings)
        parse_option(o, k, v);
    return o;
}

// A handset whose programmer runs, with its start-up logs read.
struct programmer {
    explicit programmer(const handset_options& o) : h(o), fh(h.link())
    {
        boot_to_programmer(h.link());
        startup = fh.startup(o.startup_logs);
    }
    running_handset h;
    firehose_host fh;
    std::vector<std::string> startup;
};

std::string configure(const std::string& memory, unsigned to = 16384, unsigned from = 16384, int skip = 0)
{
    return "<configure ZLPAwareHost=\"0\" SkipStorageInit=\"0\" MemoryName=\"" + memory + "\" SkipWrite=\"" +
           std::to_string(skip) + "\" MaxPayloadSizeToTargetInBytes=\"" + std::to_string(to) +
           "\" MaxPayloadSizeFromTargetInBytes=\"" + std::to_string(from) + "\"/>";
}

std::string program(unsigned ss, const std::string& start, unsigned count, unsigned lun = 0)
{
    return "<program SECTOR_SIZE_IN_BYTES=\"" + std::to_string(ss) + "\" num_partition_sectors=\"" +
           std::to_string(count) + "\" physical_partition_number=\"" + std::to_string(lun) + "\" start_sector=\"" +
           start + "\" filename=\"x.img\" label=\"x\"/>";
}

std::string read_element(unsigned ss, unsigned start, unsigned count, unsigned lun = 0)
{
    return "<read SECTOR_SIZE_IN_BYTES=\"" + std::to_string(ss) + "\" num_partition_sectors=\"" +
           std::to_string(count) + "\" physical_partition_number=\"" + std::to_string(lun) + "\" start_sector=\"" +
           std::to_string(start) + "\"/>";
}

bytes pattern(std::size_t n, unsigned seed)
{
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>((i * 131 + seed * 17 + (i >> 9)) & 0xff);
    return b;
}

bool contains(const std::vector<std::string>& v, const std::string& s)
{
    return std::find(v.begin(), v.end(), s) != v.end();
}

// program with its data phase: the data cut into the given host writes.
fh_response program_data(programmer& p, const std::string& element, const bytes& data,
                         const std::vector<std::size_t>& cuts)
{
    const auto first = p.fh.request(element);
    EXPECT_EQ(first.value(), "ACK");
    EXPECT_EQ(first.attrs.count("rawmode") ? first.attrs.at("rawmode") : "", "true");
    std::size_t at = 0;
    for (std::size_t c : cuts) {
        p.h.link().host_write(data.data() + at, c);
        at += c;
    }
    if (at < data.size())
        p.h.link().host_write(data.data() + at, data.size() - at);
    return p.fh.response();
}

} // namespace

TEST(FirehoseProgrammer, StartsWithLogDocumentsThenAnswersNop)
{
    programmer p(options({}));
    ASSERT_EQ(p.startup.size(), startup_count);
    for (const auto& doc : p.startup) {
        EXPECT_EQ(doc.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<data>", 0), 0u) << doc;
        EXPECT_EQ(log_values(doc).size(), 1u) << doc;
    }
    EXPECT_EQ(p.fh.request("<nop value=\"ping\"/>").value(), "ACK");
    EXPECT_EQ(p.h.transcript().back(), "firehose <nop value=\"ping\"/>");
}

TEST(FirehoseProgrammer, AlreadyRunningItSendsNoHelloButAnswersNopAndConfigure)
{
    running_handset h(options({{"programmer-running", "on"}}));
    firehose_host fh(h.link());
    EXPECT_FALSE(h.link().host_read(300)) << "neither a HELLO nor start-up logs";
    EXPECT_EQ(fh.request("<nop value=\"ping\"/>").value(), "ACK");
    EXPECT_EQ(fh.request(configure("ufs")).value(), "ACK");
    EXPECT_EQ(h.transcript(), (std::vector<std::string>{"firehose <nop value=\"ping\"/>", "firehose " + configure("ufs")}));
}

TEST(FirehoseProgrammer, ConfigureAgreesOnPayloadSizes)
{
    programmer p(options({}));
    const auto r = p.fh.request(configure("ufs", 16384, 65536));
    EXPECT_EQ(r.value(), "ACK");
    EXPECT_EQ(r.attrs.at("MemoryName"), "UFS");
    EXPECT_EQ(r.attrs.at("MinVersionSupported"), "1");
    EXPECT_EQ(r.attrs.at("Version"), "1");
    EXPECT_EQ(r.attrs.at("MaxPayloadSizeToTargetInBytes"), "16384");
    EXPECT_EQ(r.attrs.at("MaxPayloadSizeToTargetInBytesSupported"), "1048576");
    EXPECT_EQ(r.attrs.at("MaxXMLSizeInBytes"), "4096");
    EXPECT_EQ(r.attrs.at("MaxPayloadSizeFromTargetInBytes"), "65536");
    EXPECT_FALSE(r.has("TargetName"));
    EXPECT_EQ(p.h.transcript().back(), "firehose " + configure("ufs", 16384, 65536));

    // The programmer's own limit caps what the host offers to take.
    const auto capped = p.fh.request(configure("UfS", 16384, 4 << 20));
    EXPECT_EQ(capped.value(), "ACK");
    EXPECT_EQ(capped.attrs.at("MaxPayloadSizeFromTargetInBytes"), "1048576");
}

TEST(FirehoseProgrammer, ConfigureRefusesTooLargeAPayloadAndProposesItsOwn)
{
    programmer p(options({{"max-payload-to-target", "256K"}}));
    const auto r = p.fh.request(configure("ufs", 1048576));
    EXPECT_EQ(r.value(), "NAK");
    EXPECT_TRUE(contains(r.logs, "Host's payload to target size is too large"));
    EXPECT_EQ(r.attrs.at("MaxPayloadSizeToTargetInBytes"), "262144");
    const auto again = p.fh.request(configure("ufs", 262144));
    EXPECT_EQ(again.value(), "ACK");
    EXPECT_EQ(again.attrs.at("MaxPayloadSizeToTargetInBytes"), "262144");
}

TEST(FirehoseProgrammer, ConfigureRefusesOtherStorage)
{
    programmer p(options({{"memory", "emmc"}}));
    const auto r = p.fh.request(configure("ufs"));
    EXPECT_EQ(r.value(), "NAK");
    ASSERT_FALSE(r.logs.empty());
    EXPECT_NE(r.logs.front().find("EMMC"), std::string::npos);
    EXPECT_EQ(p.fh.request(configure("eMMC")).value(), "ACK");
}

TEST(FirehoseProgrammer, ConfigureCanLeaveOutThePayloadFromTarget)
{
    programmer p(options({{"omit-payload-from-target", "on"}}));
    const auto r = p.fh.request(configure("ufs"));
    EXPECT_EQ(r.value(), "ACK");
    EXPECT_FALSE(r.has("MaxPayloadSizeFromTargetInBytes"));
}

TEST(FirehoseProgrammer, LongLogsFillDocumentsAndShareTransfersWithTheResponse)
{
    programmer p(options({{"long-logs", "on"}}));
    p.fh.send("<nop value=\"ping\"/>");
    const auto full = p.h.link().host_read();
    ASSERT_TRUE(full);
    EXPECT_EQ(full->size(), 4096u) << "one document of MaxXMLSizeInBytes";
    const auto rest = p.h.link().host_read();
    ASSERT_TRUE(rest);
    const std::string text(rest->begin(), rest->end());
    EXPECT_LE(text.size(), 4096u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '?'), 8) << "four documents in one transfer";
    p.fh.pending() = std::string(full->begin(), full->end()) + text;
    const auto r = p.fh.response(0);
    EXPECT_EQ(r.value(), "ACK");
    ASSERT_EQ(r.logs.size(), 4u) << "three long ones, then the nop's own";
    EXPECT_GT(r.logs[0].size(), 3900u);
    EXPECT_EQ(r.logs[1].size(), 300u);
    EXPECT_EQ(r.logs[2].size(), 1000u);
}

TEST(FirehoseProgrammer, ProgramLandsOnTheUfsLunCountedInBytesNotTransfers)
{
    programmer p(options({}));
    ASSERT_EQ(p.fh.request(configure("ufs")).value(), "ACK");
    const bytes data = pattern(3 * 4096, 1);
    // Odd pieces: short transfers end each receive, whole-packet ones run on.
    const auto r = program_data(p, program(4096, "10", 3, 2), data, {1000, 7000, 1024, 511});
    EXPECT_EQ(r.value(), "ACK");
    EXPECT_EQ(r.attrs.at("rawmode"), "false");
    EXPECT_EQ(p.h.lun_bytes(2, 10 * 4096, data.size()), data);
    EXPECT_EQ(p.h.lun_bytes(2, 9 * 4096, 4096), bytes(4096, 0)) << "nothing before the partition";
    EXPECT_EQ(p.h.lun_bytes(0, 10 * 4096, 16), bytes(16, 0)) << "other LUNs untouched";
    EXPECT_EQ(p.h.transcript().back(), "firehose raw 12288 bytes");
    EXPECT_EQ(p.fh.request("<nop value=\"ping\"/>").value(), "ACK") << "back in command state";
}

TEST(FirehoseProgrammer, ProgramOneSectorPerWriteAsTheHostDoes)
{
    programmer p(options({}));
    ASSERT_EQ(p.fh.request(configure("ufs")).value(), "ACK");
    const bytes data = pattern(5 * 4096, 2);
    const auto r = program_data(p, program(4096, "0", 5, 5), data, {4096, 4096, 4096, 4096, 4096});
    EXPECT_EQ(r.value(), "ACK");
    EXPECT_EQ(p.h.lun_bytes(5, 0, data.size()), data);
}

TEST(FirehoseProgrammer, RecordsTheSizeOfEveryHostWriteOfADataPhase)
{
    programmer p(options({{"record-writes", "on"}}));
    ASSERT_EQ(p.fh.request(configure("ufs")).value(), "ACK");
    const bytes data = pattern(5 * 4096, 11);
    EXPECT_EQ(program_data(p, program(4096, "0", 5), data, {8192, 8192}).value(), "ACK");
    auto t = p.h.transcript();
    ASSERT_GE(t.size(), 2u);
    EXPECT_EQ(t[t.size() - 2], "firehose raw 20480 bytes");
    EXPECT_EQ(t.back(), "firehose writes 3: 8192x2 4096");

    // Zero-length packets show where they come: inside the phase and after it.
    ASSERT_EQ(p.fh.request(program(4096, "0", 2)).value(), "ACK");
    p.h.link().host_write(data.data(), 4096);
    p.h.link().host_write(data.data(), 0);
    p.h.link().host_write(data.data(), 4096);
    EXPECT_EQ(p.fh.response().value(), "ACK");
    p.h.link().host_write(data.data(), 0);
    EXPECT_EQ(p.fh.request("<nop value=\"ping\"/>").value(), "ACK");
    t = p.h.transcript();
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(t[t.size() - 3], "firehose writes 3: 4096 0 4096");
    EXPECT_EQ(t[t.size() - 2], "firehose zero-length packet");
}

TEST(FirehoseProgrammer, ProgramOnEmmcAtTheBackupGptExpression)
{
    programmer p(options({{"memory", "emmc"}, {"disk-size", "1M"}}));
    ASSERT_EQ(p.fh.request(configure("emmc")).value(), "ACK");
    const bytes data = pattern(33 * 512, 3);
    const auto r = program_data(p, program(512, "NUM_DISK_SECTORS-33.", 33), data, {});
    EXPECT_EQ(r.value(), "ACK");
    EXPECT_EQ(p.h.lun_bytes(0, (2048 - 33) * 512, data.size()), data);
}

TEST(FirehoseProgrammer, SkipWriteTakesTheDataButLeavesTheDisk)
{
    programmer p(options({}));
    ASSERT_EQ(p.fh.request(configure("ufs", 16384, 16384, 1)).value(), "ACK");
    const auto r = program_data(p, program(4096, "0", 2), pattern(8192, 4), {});
    EXPECT_EQ(r.value(), "ACK");
    EXPECT_EQ(p.h.lun_bytes(0, 0, 8192), bytes(8192, 0));
    EXPECT_EQ(p.h.link().pending_host_bytes(), 0u);
    EXPECT_EQ(p.h.transcript().back(), "firehose raw 8192 bytes");
}

TEST(FirehoseProgrammer, ProgramAndReadRefuseWrongSectorSizeAndRange)
{
    programmer p(options({}));  // 4 MiB LUNs: 1024 sectors of 4096
    struct refusal {
        std::string element;
        std::string log;
    };
    const std::vector<refusal> cases = {
        {program(512, "0", 1), "Attribute 'SECTOR_SIZE_IN_BYTES'=512 must be equal to disk sector size 4096"},
        {program(4096, "1020", 8, 1), "ERROR: range restricted: lun=1, start_sector=1020, num_sectors=8"},
        {program(4096, "NUM_DISK_SECTORS-2.", 3), "ERROR: range restricted: lun=0, start_sector=1022, num_sectors=3"},
        {program(4096, "0", 1, 6), "ERROR: Invalid physical_partition_number '6'"},
        {read_element(512, 0, 1), "Attribute 'SECTOR_SIZE_IN_BYTES'=512 must be equal to disk sector size 4096"},
        {read_element(4096, 1024, 1, 3), "ERROR: range restricted: lun=3, start_sector=1024, num_sectors=1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.element);
        const auto r = p.fh.request(c.element);
        EXPECT_EQ(r.value(), "NAK");
        EXPECT_TRUE(contains(r.logs, c.log)) << (r.logs.empty() ? "no log" : r.logs.front());
        EXPECT_FALSE(r.attrs.count("rawmode") && r.attrs.at("rawmode") == "true");
    }
    EXPECT_EQ(p.fh.request("<nop value=\"ping\"/>").value(), "ACK");
}

TEST(FirehoseProgrammer, ProgramThatRunsDryTimesOutWithARefusal)
{
    programmer p(options({}));
    ASSERT_EQ(p.fh.request(program(4096, "0", 4)).value(), "ACK");
    p.h.link().host_write(pattern(4096, 5));
    const auto r = p.fh.response(3000);  // data timeout 300 ms
    EXPECT_EQ(r.value(), "NAK");
    EXPECT_EQ(r.attrs.at("rawmode"), "false");
    EXPECT_EQ(p.h.transcript().back(), "firehose raw 4096 bytes");
    EXPECT_EQ(p.fh.request("<nop value=\"ping\"/>").value(), "ACK");
}

TEST(FirehoseProgrammer, ReadReturnsTheStoredSectorsInAgreedPieces)
{
    programmer p(options({}));
    ASSERT_EQ(p.fh.request(configure("ufs", 16384, 8192)).value(), "ACK");
    const bytes data = pattern(5 * 4096, 6);
    ASSERT_EQ(program_data(p, program(4096, "7", 5, 4), data, {}).value(), "ACK");

    const auto r = p.fh.request(read_element(4096, 7, 5, 4));
    EXPECT_EQ(r.value(), "ACK");
    EXPECT_EQ(r.attrs.at("rawmode"), "true");
    std::vector<std::size_t> pieces;
    EXPECT_EQ(p.fh.raw(data.size(), &pieces), data);
    for (auto n : pieces)
        EXPECT_LE(n, 8192u);
    const auto end = p.fh.response();
    EXPECT_EQ(end.value(), "ACK");
    EXPECT_EQ(end.attrs.at("rawmode"), "false");
}

TEST(FirehoseProgrammer, PatchWritesValuesAndCrcsLittleEndian)
{
    programmer p(options({{"memory", "emmc"}, {"disk-size", "1M"}}));
    ASSERT_EQ(p.fh.request(configure("emmc")).value(), "ACK");
    const bytes table = pattern(32 * 512, 7);
    ASSERT_EQ(program_data(p, program(512, "2", 32), table, {}).value(), "ACK");

    auto patch = [](const std::string& start, unsigned offset, unsigned size, const std::string& value,
                    const std::string& file = "DISK") {
        return "<patch SECTOR_SIZE_IN_BYTES=\"512\" byte_offset=\"" + std::to_string(offset) + "\" filename=\"" +
               file + "\" physical_partition_number=\"0\" size_in_bytes=\"" + std::to_string(size) +
               "\" start_sector=\"" + start + "\" value=\"" + value + "\" what=\"test\"/>";
    };
    EXPECT_EQ(p.fh.request(patch("1", 88, 4, "CRC32(2,16384)")).value(), "ACK");
    const std::uint32_t crc = static_cast<std::uint32_t>(::crc32(0, table.data(), static_cast<uInt>(table.size())));
    EXPECT_EQ(p.h.lun_bytes(0, 512 + 88, 4),
              (bytes{static_cast<unsigned char>(crc), static_cast<unsigned char>(crc >> 8),
                     static_cast<unsigned char>(crc >> 16), static_cast<unsigned char>(crc >> 24)}));

    EXPECT_EQ(p.fh.request(patch("NUM_DISK_SECTORS-1", 32, 8, "NUM_DISK_SECTORS-34.")).value(), "ACK");
    EXPECT_EQ(p.h.lun_bytes(0, 2047 * 512 + 32, 8), (bytes{0xde, 0x07, 0, 0, 0, 0, 0, 0}));  // 2014

    // The header CRC is taken over bytes written by the patches before it.
    EXPECT_EQ(p.fh.request(patch("1", 16, 4, "0")).value(), "ACK");
    EXPECT_EQ(p.fh.request(patch("NUM_DISK_SECTORS-1.", 16, 4, "CRC32(1,92)")).value(), "ACK");
    const bytes header = p.h.lun_bytes(0, 512, 92);
    const std::uint32_t hcrc = static_cast<std::uint32_t>(::crc32(0, header.data(), 92));
    const bytes stored = p.h.lun_bytes(0, 2047 * 512 + 16, 4);
    EXPECT_EQ(stored[0] | (stored[1] << 8) | (stored[2] << 16) | (std::uint32_t{stored[3]} << 24), hcrc);

    const auto not_disk = p.fh.request(patch("1", 0, 4, "0", "gpt_main0.bin"));
    EXPECT_EQ(not_disk.value(), "NAK");
    EXPECT_EQ(p.fh.request(patch("1", 0, 9, "0")).value(), "NAK");
    EXPECT_EQ(p.fh.request(patch("1", 0, 2, "70000")).value(), "NAK") << "value wider than the field";
    EXPECT_EQ(p.fh.request(patch("NUM_DISK_SECTORS-1.", 510, 4, "0")).value(), "NAK") << "past the disk end";
    EXPECT_EQ(p.fh.request(patch("1", 0, 4, "CRC32(2047,1024)")).value(), "NAK") << "CRC past the disk end";
}

TEST(FirehoseProgrammer, StorageQueriesReportTheConfiguredGeometry)
{
    struct geometry {
        const char* memory;
        const char* disk_size;
        const char* sectors;
        std::vector<std::string> logs;
    };
    const geometry cases[] = {
        {"emmc", "1M", "2048",
         {"INFO: total_blocks=2048 block_size=512 num_physical=1 mem_type=EMMC",
          R"({"storage_info": {"total_blocks": 2048, "block_size": 512, "page_size": 512, "num_physical": 1, )"
          R"("mem_type": "EMMC", "prod_name": "VHANDSET-EMMC"}})"}},
        {"ufs", "3G", "786432",
         {"INFO: total_blocks=786432 block_size=4096 num_physical=6 mem_type=UFS",
          R"({"storage_info": {"total_blocks": 786432, "block_size": 4096, "page_size": 4096, "num_physical": 6, )"
          R"("mem_type": "UFS", "prod_name": "VHANDSET-UFS"}})"}},
    };
    for (const auto& g : cases) {
        SCOPED_TRACE(g.memory);
        programmer p(options({{"memory", g.memory}, {"disk-size", g.disk_size}}));
        const auto n = p.fh.request("<getnumdisksectors physical_partition_number=\"0\"/>");
        EXPECT_EQ(n.value(), "ACK");
        EXPECT_EQ(n.attrs.at("NumDiskSectors"), g.sectors);
        for (const char* name : {"getStorageInfo", "getstorageinfo"}) {
            const auto info = p.fh.request(std::string("<") + name + " physical_partition_number=\"0\"/>");
            EXPECT_EQ(info.value(), "ACK") << name;
            EXPECT_EQ(info.attrs.at("TotalLogicalBlocks"), g.sectors) << name;
            EXPECT_EQ(info.logs, g.logs) << name;
        }
        EXPECT_EQ(p.fh.request("<getnumdisksectors physical_partition_number=\"6\"/>").value(), "NAK");
    }
}

TEST(FirehoseProgrammer, OtherCommandsAndRefusals)
{
    programmer p(options({}));
    const auto peek = p.fh.request("<peek address64=\"0x100\" size_in_bytes=\"4\"/>");
    EXPECT_EQ(peek.value(), "ACK");
    ASSERT_EQ(peek.logs.size(), 1u);
    EXPECT_EQ(peek.logs[0].rfind("0x100:", 0), 0u);
    EXPECT_EQ(p.fh.request("<poke address64=\"0x100\" size_in_bytes=\"4\" value=\"0x12\"/>").value(), "ACK");
    EXPECT_EQ(p.fh.request("<benchmark trials=\"3\" TestWritePerformance=\"1\"/>").value(), "ACK");
    const auto unknown = p.fh.request("<erase_everything/>");
    EXPECT_EQ(unknown.value(), "NAK");
    EXPECT_FALSE(unknown.logs.empty());
    EXPECT_EQ(p.fh.request("<power value=\"dance\"/>").value(), "NAK");

    p.h.link().host_write(std::string("<?xml version=\"1.0\" ?>\n<data>\n<nop value=\"x\">\n</data>\n"));
    const auto bad = p.fh.response();
    EXPECT_EQ(bad.value(), "NAK");
    EXPECT_FALSE(bad.logs.empty());
    EXPECT_EQ(p.h.transcript().back().rfind("firehose invalid ", 0), 0u);
}

TEST(FirehoseProgrammer, PowerResetAcknowledgesThenLeavesTheBus)
{
    programmer p(options({}));
    EXPECT_EQ(p.fh.request("<power value=\"reset\"/>").value(), "ACK");
    EXPECT_TRUE(p.h.link().wait_detached(2000));
    EXPECT_TRUE(p.h.finished_within(2000));
}

TEST(FirehoseProgrammerFaults, NakAndSilenceAndGarbage)
{
    programmer p(options({{"fault", "firehose:program:nak"}, {"fault", "firehose:nop:silence@2"},
                          {"fault", "firehose:*:garbage@5"}}));
    const auto refused = p.fh.request(program(4096, "0", 1));            // request 1
    EXPECT_EQ(refused.value(), "NAK");
    EXPECT_EQ(p.fh.request("<nop value=\"a\"/>").value(), "ACK");        // request 2, nop 1
    p.fh.send("<nop value=\"b\"/>");                                     // request 3, nop 2
    EXPECT_EQ(p.fh.next_document(400), "") << "the second nop is never answered";
    EXPECT_EQ(p.fh.request("<nop value=\"c\"/>").value(), "ACK");        // request 4
    p.fh.send("<nop value=\"d\"/>");                                     // request 5
    const auto junk = p.h.link().host_read();
    ASSERT_TRUE(junk);
    EXPECT_EQ(std::string(junk->begin(), junk->end()).find("</data>"), std::string::npos);
    EXPECT_EQ(p.fh.request("<nop value=\"e\"/>").value(), "ACK");
}

TEST(FirehoseProgrammerFaults, MergedAndSplitResponses)
{
    programmer p(options({{"fault", "firehose:nop:merge@1"}, {"fault", "firehose:response:split@2"}}));
    // The nop's answer carries one log line, which merge puts before the response.
    p.fh.send("<nop value=\"a\"/>");
    const auto merged = p.h.link().host_read();
    ASSERT_TRUE(merged);
    const std::string m(merged->begin(), merged->end());
    EXPECT_NE(m.find("<log "), std::string::npos);
    EXPECT_NE(m.find("<response value=\"ACK\""), std::string::npos);
    EXPECT_EQ(std::count(m.begin(), m.end(), '?'), 4) << "two documents in one transfer";

    p.fh.send(configure("ufs"));  // an answer without logs
    const auto head = p.h.link().host_read();
    ASSERT_TRUE(head);
    EXPECT_EQ(std::string(head->begin(), head->end()), "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<data>");
    const auto rest = p.h.link().host_read();
    ASSERT_TRUE(rest);
    EXPECT_NE(std::string(rest->begin(), rest->end()).find("<response value=\"ACK\""), std::string::npos);
}

TEST(FirehoseProgrammerFaults, DelayedResponse)
{
    programmer p(options({{"fault", "firehose:nop:delay=400"}}));
    p.fh.send("<nop value=\"a\"/>");
    EXPECT_EQ(p.fh.next_document(150), "");
    EXPECT_EQ(p.fh.response().value(), "ACK");
}

TEST(FirehoseProgrammerFaults, LateLogArrivesAfterTheAckBeforeTheNextResponse)
{
    programmer p(options({{"fault", "firehose:nop:latelog=300@1"}}));
    const auto first = p.fh.request("<nop value=\"a\"/>");
    EXPECT_EQ(first.value(), "ACK");
    EXPECT_EQ(p.fh.next_document(100), "") << "a short drain sees nothing";
    const auto second = p.fh.request("<nop value=\"b\"/>");
    EXPECT_EQ(second.value(), "ACK");
    ASSERT_FALSE(second.logs.empty());
    EXPECT_EQ(second.logs.front(), "INFO: Late log after nop");
    EXPECT_EQ(std::vector<std::string>(second.logs.begin() + 1, second.logs.end()), first.logs);
    EXPECT_EQ(p.fh.request("<nop value=\"c\"/>").logs, first.logs) << "only after the first";
}

TEST(FirehoseProgrammerFaults, DelayHoldsTheAckThatClosesTheDataPhaseOnly)
{
    programmer p(options({{"fault", "firehose:program:delay=600"}}));
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(p.fh.request(program(4096, "0", 1)).value(), "ACK");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400)) << "rawmode ACK held up";
    p.h.link().host_write(pattern(4096, 12));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.fh.response().attrs.at("rawmode"), "false");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
}

TEST(FirehoseProgrammerFaults, FlipCorruptsTheNthSectorStoredInTheSession)
{
    programmer p(options({{"memory", "emmc"}, {"disk-size", "1M"}, {"fault", "storage:write:flip@6"}}));
    const bytes first = pattern(3 * 512, 13), second = pattern(4 * 512, 14);
    ASSERT_EQ(program_data(p, program(512, "10", 3), first, {}).value(), "ACK");
    ASSERT_EQ(program_data(p, program(512, "100", 4), second, {700, 700}).value(), "ACK") << "the handset cannot tell";
    EXPECT_EQ(p.h.lun_bytes(0, 10 * 512, first.size()), first);
    bytes expected = second;
    expected[3 * 512 - 1] ^= 0x01;  // sector 6 of the session: the third of the second program, its last byte
    EXPECT_EQ(p.h.lun_bytes(0, 100 * 512, second.size()), expected);
}

TEST(FirehoseProgrammerFaults, ShortProgramRefusesAfterPartOfTheData)
{
    programmer p(options({{"fault", "firehose:program:short"}}));
    ASSERT_EQ(p.fh.request(program(4096, "0", 4)).value(), "ACK");
    const bytes data = pattern(4 * 4096, 8);
    for (int i = 0; i < 4; ++i)
        p.h.link().host_write(data.data() + i * 4096, 4096);
    const auto r = p.fh.response();
    EXPECT_EQ(r.value(), "NAK");
    EXPECT_EQ(r.attrs.at("rawmode"), "false");
    EXPECT_EQ(p.h.transcript().back(), "firehose raw 8192 bytes");
    EXPECT_EQ(p.h.lun_bytes(0, 8192, 8192), bytes(8192, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // the programmer discards the rest
    EXPECT_EQ(p.fh.request("<nop value=\"ping\"/>").value(), "ACK");
}

TEST(FirehoseProgrammerFaults, ReadStallsPartWay)
{
    programmer p(options({{"fault", "firehose:read:stall@1"}}));
    ASSERT_EQ(p.fh.request(read_element(4096, 0, 4)).value(), "ACK");
    EXPECT_EQ(p.fh.raw(16384, nullptr, 400).size(), 8192u);
    EXPECT_EQ(p.fh.next_document(200), "");
    // The host's retry is served in full.
    ASSERT_EQ(p.fh.request(read_element(4096, 0, 4)).value(), "ACK");
    EXPECT_EQ(p.fh.raw(16384).size(), 16384u);
    EXPECT_EQ(p.fh.response().attrs.at("rawmode"), "false");
}

TEST(FirehoseProgrammerFaults, DisconnectDuringTheSecondProgram)
{
    programmer p(options({{"fault", "firehose:program:disconnect@2"}}));
    EXPECT_EQ(program_data(p, program(4096, "0", 2), pattern(8192, 9), {}).value(), "ACK");
    ASSERT_EQ(p.fh.request(program(4096, "2", 2)).value(), "ACK");
    p.h.link().host_write(pattern(4096, 10));
    EXPECT_TRUE(p.h.link().wait_detached(2000));
    EXPECT_TRUE(p.h.finished_within(2000));
    EXPECT_EQ(p.h.transcript().back(), "firehose raw 4096 bytes");
}
