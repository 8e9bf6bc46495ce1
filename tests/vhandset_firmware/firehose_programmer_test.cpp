#include "test_support.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

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

// A command on a sector range; without `start` it names the LUN only.
std::string range_element(const std::string& verb, unsigned lun, const std::string& start = "", unsigned count = 0,
                          unsigned ss = 4096)
{
    std::string e = "<" + verb + " SECTOR_SIZE_IN_BYTES=\"" + std::to_string(ss) + "\" physical_partition_number=\"" +
                    std::to_string(lun) + "\"";
    if (!start.empty())
        e += " start_sector=\"" + start + "\" num_partition_sectors=\"" + std::to_string(count) + "\"";
    return e + "/>";
}

std::string sha256_hex(const bytes& data)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), md, &n, EVP_sha256(), nullptr), 1);
    std::string hex;
    for (unsigned i = 0; i < n; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return hex;
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

TEST(FirehoseProgrammer, RefusalsSayWhyAndChangeNothing)
{
    programmer p(options({}));  // 4 MiB LUNs: 1024 sectors of 4096
    const bytes kept = pattern(4 * 4096, 24);
    ASSERT_EQ(program_data(p, program(4096, "1020", 4), kept, {}).value(), "ACK");
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
        {range_element("erase", 0, "1020", 8), "ERROR: range restricted: lun=0, start_sector=1020, num_sectors=8"},
        {range_element("erase", 0, "0", 1, 512),
         "Attribute 'SECTOR_SIZE_IN_BYTES'=512 must be equal to disk sector size 4096"},
        {R"(<erase SECTOR_SIZE_IN_BYTES="4096" physical_partition_number="0" start_sector="1020"/>)",
         "ERROR: Attribute 'num_partition_sectors' is missing"},
        {range_element("getsha256digest", 2, "1000", 25),
         "ERROR: range restricted: lun=2, start_sector=1000, num_sectors=25"},
        {range_element("getsha256digest", 0), "ERROR: Attribute 'start_sector' is missing"},
        {"<setbootablestoragedrive value=\"6\"/>", "ERROR: Invalid bootable storage drive '6': UFS has LUNs 0 to 5"},
        {"<setbootablestoragedrive/>", "ERROR: Invalid bootable storage drive '': UFS has LUNs 0 to 5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.element);
        const auto r = p.fh.request(c.element);
        EXPECT_EQ(r.value(), "NAK");
        EXPECT_TRUE(contains(r.logs, c.log)) << (r.logs.empty() ? "no log" : r.logs.front());
        EXPECT_FALSE(r.attrs.count("rawmode") && r.attrs.at("rawmode") == "true");
    }
    EXPECT_EQ(p.fh.request("<nop value=\"ping\"/>").value(), "ACK");
    EXPECT_EQ(p.h.lun_bytes(0, 1020 * 4096, kept.size()), kept);
    EXPECT_FALSE(vhandset::read_bootable_drive(p.h.dir()));
}

TEST(FirehoseProgrammer, EraseZeroesTheRangeOrWithoutOneTheWholeLun)
{
    programmer p(options({}));  // 4 MiB LUNs: 1024 sectors of 4096
    struct erasure {
        std::string element;
        std::uint64_t first, count;  // the sectors that must read as zeros
    };
    const erasure cases[] = {
        {range_element("erase", 1, "2", 3), 2, 3},
        {range_element("erase", 1, "NUM_DISK_SECTORS-4.", 4), 1020, 4},
        {range_element("erase", 1), 0, 1024},
    };
    const bytes other = pattern(4096, 20), head = pattern(8 * 4096, 21), tail = pattern(8 * 4096, 22);
    ASSERT_EQ(program_data(p, program(4096, "0", 1, 0), other, {}).value(), "ACK");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.element);
        ASSERT_EQ(program_data(p, program(4096, "0", 8, 1), head, {}).value(), "ACK");
        ASSERT_EQ(program_data(p, program(4096, "1016", 8, 1), tail, {}).value(), "ACK");
        EXPECT_EQ(p.fh.request(c.element).value(), "ACK");
        EXPECT_EQ(p.h.transcript().back(), "firehose erase lun=1 start_sector=" + std::to_string(c.first) +
                                               " num_sectors=" + std::to_string(c.count));
        for (const auto& [at, data] : {std::pair{std::uint64_t{0}, head}, std::pair{std::uint64_t{1016}, tail}}) {
            bytes want = data;
            for (std::uint64_t s = 0; s < data.size() / 4096; ++s)
                if (at + s >= c.first && at + s < c.first + c.count)
                    std::fill_n(want.begin() + static_cast<std::ptrdiff_t>(s * 4096), 4096, 0);
            EXPECT_EQ(p.h.lun_bytes(1, at * 4096, data.size()), want) << "sectors from " << at;
        }
    }
    EXPECT_EQ(p.h.lun_bytes(0, 0, 4096), other) << "other LUNs untouched";
}

TEST(FirehoseProgrammer, DigestIsTheSha256OfTheStoredSectors)
{
    programmer p(options({}));
    ASSERT_EQ(program_data(p, program(4096, "5", 4, 2), pattern(4 * 4096, 23), {}).value(), "ACK");
    struct range {
        std::uint64_t first, count;
    };
    for (const range r : {range{5, 4}, range{3, 8} /* stored and erased sectors */, range{0, 1024} /* whole LUN */}) {
        SCOPED_TRACE(r.first);
        const auto a = p.fh.request(range_element("getsha256digest", 2, std::to_string(r.first),
                                                  static_cast<unsigned>(r.count)));
        EXPECT_EQ(a.value(), "ACK");
        const bytes stored = p.h.lun_bytes(2, r.first * 4096, static_cast<std::size_t>(r.count * 4096));
        EXPECT_EQ(a.logs, std::vector<std::string>{"Digest 0x" + sha256_hex(stored)});
    }
}

TEST(FirehoseProgrammer, DigestAndEraseTakeTheTimeTheirRatesAllow)
{
    struct timed {
        const char* option;
        std::string element;
    };
    // 4 MiB at 20 MB/s: 210 ms.
    for (const auto& t : {timed{"digest-rate", range_element("getsha256digest", 0, "0", 1024)},
                          timed{"erase-rate", range_element("erase", 0)}}) {
        SCOPED_TRACE(t.option);
        programmer p(options({{t.option, "20"}}));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(p.fh.request(t.element).value(), "ACK");
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(209));
    }
}

TEST(FirehoseProgrammer, BootableDriveIsKeptInTheStateDirectory)
{
    struct choice {
        const char* value;
        const char* refusal;  // nullptr: accepted
    };
    struct session {
        const char* memory;
        std::vector<choice> choices;
    };
    const session sessions[] = {
        {"ufs", {{"1", nullptr}, {"x", "ERROR: Invalid bootable storage drive 'x': UFS has LUNs 0 to 5"}, {"2", nullptr}}},
        {"emmc", {{"1", "ERROR: Invalid bootable storage drive '1': EMMC has LUN 0 only"}, {"0", nullptr}}},
    };
    for (const auto& s : sessions) {
        SCOPED_TRACE(s.memory);
        programmer p(options({{"memory", s.memory}, {"disk-size", "1M"}}));
        std::optional<unsigned> kept;
        for (const auto& c : s.choices) {
            SCOPED_TRACE(c.value);
            const auto r = p.fh.request(std::string("<setbootablestoragedrive value=\"") + c.value + "\"/>");
            EXPECT_EQ(r.value(), c.refusal ? "NAK" : "ACK");
            if (c.refusal) {
                EXPECT_EQ(r.logs, std::vector<std::string>{c.refusal});
            } else {
                kept = static_cast<unsigned>(std::stoul(c.value));
                EXPECT_EQ(p.h.transcript().back(), std::string("firehose bootable drive ") + c.value);
                std::stringstream file;
                file << std::ifstream(p.h.dir() / "bootable_drive").rdbuf();
                EXPECT_EQ(file.str(), std::string(c.value) + "\n");
            }
            EXPECT_EQ(vhandset::read_bootable_drive(p.h.dir()), kept);
        }
    }
}

TEST(FirehoseProgrammer, SupportedFunctionsNameEveryVerbButTheRemovedOnes)
{
    struct listing {
        const char* without;
        std::string verbs;
        std::vector<std::pair<std::string, std::string>> refused;  // request, its log
    };
    const listing cases[] = {
        {"",
         "configure program read patch erase nop power peek poke getnumdisksectors getStorageInfo getsha256digest "
         "setbootablestoragedrive benchmark",
         {}},
        {"getsha256digest,erase",
         "configure program read patch nop power peek poke getnumdisksectors getStorageInfo "
         "setbootablestoragedrive benchmark",
         {{range_element("erase", 0), "ERROR: Unrecognized tag 'erase'"},
          {range_element("getsha256digest", 0, "0", 1), "ERROR: Unrecognized tag 'getsha256digest'"}}},
        {"getstorageinfo",
         "configure program read patch erase nop power peek poke getnumdisksectors getsha256digest "
         "setbootablestoragedrive benchmark",
         {{"<getstorageinfo physical_partition_number=\"0\"/>", "ERROR: Unrecognized tag 'getStorageInfo'"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.without);
        handset_options o = options({{"startup-logs", "3"}});
        if (*c.without)
            parse_option(o, "without-verbs", c.without);
        programmer p(o);
        const std::vector<std::string> line = {"INFO: Supported Functions: " + c.verbs};
        EXPECT_EQ(log_values(p.startup.back()), line) << "the third start-up line";
        EXPECT_EQ(p.fh.request("<nop value=\"ping\"/>").logs, line);
        for (const auto& [request, log] : c.refused) {
            const auto r = p.fh.request(request);
            EXPECT_EQ(r.value(), "NAK") << request;
            EXPECT_EQ(r.logs, std::vector<std::string>{log});
        }
    }
}

TEST(FirehoseProgrammer, BootingProgrammerTakesNoHostDataUntilItHasStarted)
{
    running_handset h(options({{"programmer-boot-ms", "400"}}));
    firehose_host fh(h.link());
    boot_to_programmer(h.link());
    const auto loaded = std::chrono::steady_clock::now();
    fh.send("<nop value=\"early\"/>");
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_GT(h.link().pending_host_bytes(), 0u) << "a booting programmer reads nothing";
    EXPECT_EQ(h.transcript().back(), "sahara DONE");
    EXPECT_NE(fh.next_document(), "");
    EXPECT_GE(std::chrono::steady_clock::now() - loaded, std::chrono::milliseconds(400)) << "the first start-up log";
    fh.startup(startup_count - 1);
    EXPECT_EQ(fh.response().value(), "ACK") << "then the waiting request is served";
    EXPECT_EQ(h.transcript().back(), "firehose <nop value=\"early\"/>");
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

TEST(FirehoseProgrammerFaults, NewVerbsTakeFaultsByName)
{
    programmer p(options({{"fault", "firehose:erase:nak@1"}, {"fault", "firehose:getstorageinfo:delay=300"},
                          {"fault", "firehose:getsha256digest:garbage"},
                          {"fault", "firehose:setbootablestoragedrive:disconnect"}}));
    const bytes data = pattern(4096, 25);
    ASSERT_EQ(program_data(p, program(4096, "0", 1), data, {}).value(), "ACK");

    const auto refused = p.fh.request(range_element("erase", 0, "0", 1));
    EXPECT_EQ(refused.value(), "NAK");
    EXPECT_EQ(refused.logs, std::vector<std::string>{"ERROR: Failed to run erase"});
    EXPECT_EQ(p.h.lun_bytes(0, 0, 4096), data);
    EXPECT_EQ(p.fh.request(range_element("erase", 0, "0", 1)).value(), "ACK") << "only the first";
    EXPECT_EQ(p.h.lun_bytes(0, 0, 4096), bytes(4096, 0));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p.fh.request("<getStorageInfo physical_partition_number=\"0\"/>").value(), "ACK");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));

    p.fh.send(range_element("getsha256digest", 0, "0", 1));
    const auto junk = p.h.link().host_read();
    ASSERT_TRUE(junk);
    EXPECT_EQ(std::string(junk->begin(), junk->end()).find("</data>"), std::string::npos);

    p.fh.send("<setbootablestoragedrive value=\"1\"/>");
    EXPECT_TRUE(p.h.link().wait_detached(2000));
    EXPECT_TRUE(p.h.finished_within(2000));
    EXPECT_FALSE(vhandset::read_bootable_drive(p.h.dir()));
}
