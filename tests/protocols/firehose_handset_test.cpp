// Firehose client against the virtual handset's flash programmer, through the
// real USB layer: the programmer's transcript, its LUN images and what the host
// reported.
#include "error_text.h"
#include "firehose.h"
#include "handset_session.h"
#include "log_capture.h"
#include "memory_type.h"
#include "sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

using testsupport::error_text;

constexpr std::uint64_t disk_size = 4ull << 20;
constexpr std::uint32_t ufs_sector = 4096;
constexpr std::uint32_t emmc_sector = 512;

vhandset::handset_options options(const std::vector<std::string>& settings = {})
{
    vhandset::handset_options o;
    o.disk_size = disk_size;
    // The programmer starts talking once the host has let go of the Sahara
    // pipe, as it does after the flash procedure's pause.
    o.programmer_boot_ms = 50;
    for (const auto& s : settings) {
        const auto eq = s.find('=');
        vhandset::parse_option(o, s.substr(0, eq), s.substr(eq + 1));
    }
    return o;
}

std::string pattern(std::size_t bytes, unsigned seed)
{
    std::string s(bytes, '\0');
    for (std::size_t i = 0; i < bytes; ++i)
        s[i] = static_cast<char>((i * 31 + seed + i / 512) & 0xff);
    return s;
}

const std::uint8_t* bytes_of(const std::string& s)
{
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

// A handset with its programmer running and a Firehose link open on it.
struct connected {
    explicit connected(const std::vector<std::string>& settings = {}, bool skip_write = false,
                       std::uint32_t memory = memory_ufs, std::uint32_t sector = ufs_sector)
        : h(options(settings))
    {
        h.boot_programmer();
        fh.open(h.fresh_pipe(), skip_write, memory, sector);
    }
    handset_session h;
    firehose fh;
};

class firehose_handset : public ::testing::Test {
protected:
    log_capture log;
};

TEST_F(firehose_handset, open_reads_the_greeting_pings_and_configures)
{
    connected c;
    EXPECT_EQ(log.count("I:log: INFO: "), 4u);  // the start-up lines, and the verbs the ping's answer lists
    const auto requests = c.h.lines("firehose ");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "firehose <nop value=\"ping\"/>");
    EXPECT_EQ(requests[1], "firehose <configure ZLPAwareHost=\"0\" SkipStorageInit=\"0\" MemoryName=\"ufs\" "
                           "SkipWrite=\"0\" MaxPayloadSizeToTargetInBytes=\"1048576\" "
                           "MaxPayloadSizeFromTargetInBytes=\"16384\"/>");
    EXPECT_EQ(c.fh.max_payload_from_target(), 16384u);
}

TEST_F(firehose_handset, smaller_programmer_payload_is_renegotiated_or_refused)
{
    {
        connected c({"max-payload-to-target=4096"});
        const auto configures = c.h.lines("firehose <configure");
        ASSERT_EQ(configures.size(), 2u);
        EXPECT_NE(configures[1].find("MaxPayloadSizeToTargetInBytes=\"4096\" MaxPayloadSizeFromTargetInBytes=\"16384\""),
                  std::string::npos);
        EXPECT_TRUE(log.has("I:log: Host's payload to target size is too large\n"));
    }
    {
        handset_session h(options({"max-payload-to-target=2048"}));
        h.boot_programmer();
        firehose fh;
        // The programmer said why in its log; the message carries it.
        EXPECT_EQ(error_text([&] { fh.open(h.fresh_pipe(), false, memory_ufs, ufs_sector); }),
                  "payload size out of bounds (programmer: Host's payload to target size is too large)");
        EXPECT_EQ(h.lines("firehose <configure").size(), 1u);
    }
}

TEST_F(firehose_handset, program_writes_its_sectors_onto_the_lun)
{
    connected c;
    const std::string image = pattern(8192, 1);
    c.fh.program(10, bytes_of(image), 8192);

    EXPECT_EQ(c.h.lun_bytes(0, 10 * ufs_sector, 8192), image);
    EXPECT_EQ(c.h.lun_bytes(0, 9 * ufs_sector, ufs_sector), std::string(ufs_sector, '\0'));
    EXPECT_TRUE(log.has("I:Write 8192 bytes, 2 sectors\n"));
    const auto t = c.h.lines("firehose ");
    ASSERT_GE(t.size(), 3u);
    EXPECT_EQ(t[t.size() - 3], "firehose <program SECTOR_SIZE_IN_BYTES=\"4096\" num_partition_sectors=\"2\" "
                               "physical_partition_number=\"0\" start_sector=\"10\" read_back_verify=\"0\"/>");
    EXPECT_EQ(t[t.size() - 2], "firehose raw 8192 bytes");
    EXPECT_EQ(t.back(), "firehose <nop value=\"ping\"/>");

    EXPECT_EQ(error_text([&] { c.fh.program(0, bytes_of(image), 4097); }), "attempt to write partial sector");
    EXPECT_EQ(c.h.lines("firehose ").size(), t.size());  // nothing sent
}

TEST_F(firehose_handset, program_element_goes_where_the_element_says)
{
    connected c;
    const std::string image = pattern(3 * ufs_sector, 2);
    buffer data;
    data.enqueue(image.data(), image.size());
    c.fh.program_element("<program SECTOR_SIZE_IN_BYTES=\"4096\" filename=\"boot.img\" label=\"boot_a\" "
                         "num_partition_sectors=\"3\" physical_partition_number=\"2\" start_sector=\"6\"/>",
                         data);
    EXPECT_EQ(c.h.lun_bytes(2, 6 * ufs_sector, image.size()), image);
    EXPECT_EQ(c.h.lun_bytes(0, 6 * ufs_sector, image.size()), std::string(image.size(), '\0'));
}

TEST_F(firehose_handset, no_write_configure_leaves_the_disk_alone)
{
    connected c({}, true);
    for (const auto& l : c.h.lines("firehose <configure"))
        EXPECT_NE(l.find("SkipWrite=\"1\""), std::string::npos);
    const std::string image = pattern(ufs_sector, 3);
    c.fh.program(0, bytes_of(image), ufs_sector);
    EXPECT_EQ(c.h.lun_bytes(0, 0, ufs_sector), std::string(ufs_sector, '\0'));
}

TEST_F(firehose_handset, read_returns_what_was_written_in_payload_sized_requests)
{
    connected c({"memory=emmc"}, false, memory_emmc, emmc_sector);
    const std::string image = pattern(100 * emmc_sector, 4);
    c.fh.program(7, bytes_of(image), static_cast<std::uint32_t>(image.size()));
    const buffer got = c.fh.read(7, 100);
    EXPECT_EQ(text_of(got), image);

    const auto reads = c.h.lines("firehose <read");
    ASSERT_EQ(reads.size(), 4u);  // 16384-byte payload: 32 sectors a request
    const std::pair<int, int> expected[] = {{7, 32}, {39, 32}, {71, 32}, {103, 4}};
    for (std::size_t i = 0; i < reads.size(); ++i)
        EXPECT_EQ(reads[i], "firehose <read SECTOR_SIZE_IN_BYTES=\"512\" num_partition_sectors=\"" +
                                std::to_string(expected[i].second) + "\" physical_partition_number=\"0\" start_sector=\"" +
                                std::to_string(expected[i].first) + "\"/>");
}

TEST_F(firehose_handset, stalled_read_is_retried_once_and_succeeds)
{
    connected c({"fault=firehose:read:stall@1"});
    const std::string image = pattern(2 * ufs_sector, 5);
    c.fh.program(20, bytes_of(image), static_cast<std::uint32_t>(image.size()));
    const buffer got = c.fh.read(20, 2);
    EXPECT_EQ(text_of(got), image);
    EXPECT_EQ(log.count("E:firehose: timeout, retry\n"), 1u);
    const auto reads = c.h.lines("firehose <read");
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0], reads[1]);
}

TEST_F(firehose_handset, refusals_of_the_programmer)
{
    {
        connected c({"fault=firehose:program:nak"});
        const std::string image = pattern(ufs_sector, 6);
        EXPECT_EQ(error_text([&] { c.fh.program(0, bytes_of(image), ufs_sector); }),
                  "no ack from target (programmer: ERROR: Failed to run program)");
        EXPECT_TRUE(log.has("I:log: ERROR: Failed to run program\n"));
        EXPECT_TRUE(c.h.lines("firehose raw").empty());  // no data went out
    }
    {
        // Out of the disk: the programmer refuses the range.
        connected c;
        const std::string image = pattern(ufs_sector, 7);
        EXPECT_EQ(error_text([&] { c.fh.program(disk_size / ufs_sector, bytes_of(image), ufs_sector); }),
                  "no ack from target (programmer: ERROR: range restricted: lun=0, start_sector=1024, num_sectors=1)");
        EXPECT_EQ(error_text([&] { c.fh.power("sleep"); }),
                  "no ack from target (programmer: ERROR: Unsupported power value 'sleep')");
    }
    {
        // Bytes that never close a document: after waiting for the rest in
        // vain, the host reports what came rather than a bare time-out.
        connected c({"fault=firehose:nop:garbage@2"});  // the ping is the first nop
        // Neither a refusal nor a broken link, and shown escaped.
        std::string text;
        try {
            c.fh.nop("again");
        } catch (const firehose_refusal& e) {
            ADD_FAILURE() << "reported as a refusal: " << e.what();
        } catch (const std::runtime_error& e) {
            text = e.what();
        }
        EXPECT_EQ(text.rfind("firehose: unreadable reply from the programmer (\"", 0), 0u) << text;
        EXPECT_EQ(text.find_first_of("\x01\x7f"), std::string::npos) << text;
    }
}

TEST_F(firehose_handset, programmer_without_a_from_target_size_sends_what_was_asked)
{
    connected c({"omit-payload-from-target=on"});
    EXPECT_EQ(c.fh.max_payload_from_target(), 16384u);
    EXPECT_EQ(c.fh.read(0, 8).size(), 8u * ufs_sector);
    EXPECT_EQ(c.h.lines("firehose <read").size(), 2u) << "4 sectors of 4096 bytes per request";
}

TEST_F(firehose_handset, split_and_merged_responses_are_read_whole)
{
    connected c({"fault=firehose:nop:split@2", "fault=firehose:nop:merge@3"});
    c.fh.nop("split");
    c.fh.nop("merged");
    EXPECT_EQ(c.h.lines("firehose <nop").size(), 3u);
}

TEST_F(firehose_handset, storage_queries_and_physical_partition)
{
    connected c;
    EXPECT_EQ(c.fh.num_disk_sectors(), disk_size / ufs_sector);
    c.fh.set_physical_partition(5);
    EXPECT_EQ(c.fh.total_logical_blocks(), disk_size / ufs_sector);
    EXPECT_EQ(c.h.lines("firehose ").back(), "firehose <getStorageInfo physical_partition_number=\"5\"/>");
    c.fh.set_physical_partition(6);  // UFS has LUNs 0 to 5: a refusal reads as 0
    EXPECT_EQ(c.fh.num_disk_sectors(), 0u);
}

TEST_F(firehose_handset, peek_and_poke_are_acknowledged)
{
    connected c;
    EXPECT_EQ(c.fh.peek(0x0c000000, 4).size(), 0u);
    EXPECT_TRUE(log.has("I:log: 0xc000000: 5a 5b 58 59\n"));
    c.fh.poke(0x0c000000, 4, "deadbeef");
    EXPECT_EQ(c.h.lines("firehose ").back(),
              "firehose <poke address64=\"0xc000000\" size_in_bytes=\"4\" value=\"0xdeadbeef\"/>");
}

TEST_F(firehose_handset, long_request_is_refused_and_the_link_stays_usable)
{
    connected c;
    const auto before = c.h.transcript().size();
    EXPECT_EQ(error_text([&] { c.fh.command("<patch value=\"" + std::string(1100, '0') + "\"/>"); }),
              "firehose: request longer than 1023 characters");
    c.fh.nop("still here");
    const auto t = c.h.transcript();
    ASSERT_EQ(t.size(), before + 1);
    EXPECT_EQ(t.back(), "firehose <nop value=\"still here\"/>");
}

TEST_F(firehose_handset, silent_programmer_is_the_port_time_out)
{
    connected c({"fault=firehose:benchmark:silence"});
    EXPECT_EQ(error_text([&] { c.fh.benchmark(1); }), std::strerror(ETIMEDOUT));
}

TEST_F(firehose_handset, power_reset_takes_the_handset_off_the_bus)
{
    connected c;
    c.fh.power("reset");
    EXPECT_TRUE(c.h.device().wait_detached(2000));
    EXPECT_EQ(c.h.lines("firehose ").back(), "firehose <power value=\"reset\"/>");
}

TEST_F(firehose_handset, further_verbs_hash_erase_and_report_the_storage)
{
    connected c;
    EXPECT_TRUE(c.fh.verbs_known());
    const std::string image = pattern(16 * ufs_sector, 8);
    c.fh.set_physical_partition(3);
    c.fh.program(40, bytes_of(image), static_cast<std::uint32_t>(image.size()));

    std::array<std::uint8_t, 32> want{};
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, image.data(), static_cast<std::int32_t>(image.size()));
    sha256_final(&ctx, want.data());
    EXPECT_EQ(c.fh.sha256_digest(3, 40, 16), want);

    c.fh.erase(3, 44, 4);
    std::string erased = image;
    std::fill(erased.begin() + 4 * ufs_sector, erased.begin() + 8 * ufs_sector, '\0');
    EXPECT_EQ(c.h.lun_bytes(3, 40 * ufs_sector, image.size()), erased);
    c.fh.erase_lun(3);
    EXPECT_EQ(c.h.lun_bytes(3, 40 * ufs_sector, image.size()), std::string(image.size(), '\0'));

    c.fh.set_bootable_storage_drive(2);
    EXPECT_EQ(c.h.lines("firehose bootable drive"), std::vector<std::string>{"firehose bootable drive 2"});
    EXPECT_EQ(testsupport::error_text([&] { c.fh.set_bootable_storage_drive(6); }),
              "no ack from target (programmer: ERROR: Invalid bootable storage drive '6': UFS has LUNs 0 to 5)");

    const firehose_storage_info info = c.fh.storage_info(5);
    EXPECT_EQ(info.total_blocks, disk_size / ufs_sector);
    EXPECT_EQ(info.block_size, ufs_sector);
    EXPECT_EQ(info.num_physical, 6u);
    EXPECT_EQ(info.mem_type, "UFS");
}

TEST_F(firehose_handset, verbs_the_programmer_does_not_list_are_never_sent)
{
    connected c({"without-verbs=getsha256digest,erase"});
    EXPECT_FALSE(c.fh.supports("getsha256digest"));
    EXPECT_TRUE(c.fh.supports("getStorageInfo"));
    const auto before = c.h.transcript().size();
    EXPECT_EQ(testsupport::error_text([&] { c.fh.erase_lun(0); }), "firehose: the programmer does not offer erase");
    EXPECT_EQ(testsupport::error_text([&] { c.fh.sha256_digest(0, 0, 1); }), "firehose: the programmer does not offer getsha256digest");
    EXPECT_EQ(c.h.transcript().size(), before);
}

} // namespace
