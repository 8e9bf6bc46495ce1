#include "vhandset/handset_options.h"

#include <gtest/gtest.h>

#include <stdexcept>

using vhandset::handset_options;
using vhandset::parse_option;

namespace {

std::string rejection(const std::string& name, const std::string& value)
{
    handset_options o;
    try {
        parse_option(o, name, value);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "accepted";
}

} // namespace

TEST(HandsetOptions, ValuesLandInTheirFields)
{
    handset_options o;
    parse_option(o, "vid", "0x1234");
    parse_option(o, "pid", "9008");
    parse_option(o, "memory", "EMMC");
    parse_option(o, "disk-size", "2G");
    parse_option(o, "zlp", "off");
    parse_option(o, "max-packet", "1024");
    parse_option(o, "sahara-version", "3");
    parse_option(o, "sahara-mode", "2");
    parse_option(o, "max-payload-to-target", "64K");
    parse_option(o, "max-payload-from-target", "8192");
    parse_option(o, "max-xml-size", "4K");
    parse_option(o, "omit-payload-from-target", "");
    parse_option(o, "startup-logs", "0");
    parse_option(o, "response-delay-ms", "25");
    parse_option(o, "programmer-boot-ms", "40");
    parse_option(o, "serial", "abc 1");
    parse_option(o, "record-writes", "on");
    parse_option(o, "link", "USB2");
    parse_option(o, "programmer-running", "on");
    parse_option(o, "long-logs", "");
    parse_option(o, "digest-rate", "0");
    parse_option(o, "erase-rate", "40");
    parse_option(o, "without-verbs", "getsha256digest,GETSTORAGEINFO");
    parse_option(o, "without-verbs", "erase");
    EXPECT_EQ(o.vendor_id, 0x1234);
    EXPECT_EQ(o.product_id, 0x9008);
    EXPECT_EQ(o.memory, "emmc");
    EXPECT_EQ(o.disk_size, 2ull << 30);
    EXPECT_FALSE(o.zlp);
    EXPECT_EQ(o.max_packet, 1024u);
    EXPECT_EQ(o.sahara_version, 3u);
    EXPECT_EQ(o.sahara_mode, 2u);
    EXPECT_EQ(o.max_payload_to_target, 65536u);
    EXPECT_EQ(o.max_payload_from_target, 8192u);
    EXPECT_EQ(o.max_xml_size, 4096u);
    EXPECT_FALSE(o.ack_payload_from_target);
    EXPECT_EQ(o.startup_logs, 0u);
    EXPECT_EQ(o.response_delay_ms, 25u);
    EXPECT_EQ(o.programmer_boot_ms, 40u);
    EXPECT_EQ(o.serial, "abc 1");
    EXPECT_TRUE(o.record_writes);
    EXPECT_EQ(o.link, "usb2");
    EXPECT_TRUE(o.programmer_running);
    EXPECT_TRUE(o.long_logs);
    EXPECT_EQ(o.digest_rate_mbps, 0u);
    EXPECT_EQ(o.erase_rate_mbps, 40u);
    EXPECT_EQ(o.without_verbs, (std::vector<std::string>{"getsha256digest", "getStorageInfo", "erase"}));
}

TEST(HandsetOptions, FaultsAccumulateWithPlaceStepKindValueAndCount)
{
    handset_options o;
    parse_option(o, "fault", "firehose:program:nak");
    parse_option(o, "fault", "sahara:read:silence@3");
    parse_option(o, "fault", "sahara:image:status=0x0D@2");
    parse_option(o, "fault", "firehose:*:garbage@5");
    ASSERT_EQ(o.faults.size(), 4u);
    EXPECT_EQ(o.faults[0].where, "firehose");
    EXPECT_EQ(o.faults[0].what, "program");
    EXPECT_EQ(o.faults[0].kind, "nak");
    EXPECT_EQ(o.faults[0].nth, 0u);
    EXPECT_EQ(o.faults[1].kind, "silence");
    EXPECT_EQ(o.faults[1].nth, 3u);
    EXPECT_EQ(o.faults[2].kind, "status");
    EXPECT_EQ(o.faults[2].value, "0x0D");
    EXPECT_EQ(o.faults[2].nth, 2u);
    EXPECT_EQ(o.faults[3].what, "*");
    EXPECT_EQ(o.faults[3].handset, 0u);

    parse_option(o, "fault", "2:firehose:program:disconnect@3");
    EXPECT_EQ(o.faults[4].handset, 2u);
    EXPECT_EQ(o.faults[4].where, "firehose");
    EXPECT_EQ(o.faults[4].nth, 3u);
    EXPECT_EQ(vhandset::for_handset(o, 1).faults.size(), 4u);
    EXPECT_EQ(vhandset::for_handset(o, 2).faults.size(), 5u);

    parse_option(o, "fault", "firehose:getstorageinfo:delay=300");
    EXPECT_EQ(o.faults[5].what, "getStorageInfo") << "the name requests of any case are counted under";
}

TEST(HandsetOptions, BadValuesAreRefusedWithTheOptionNamed)
{
    EXPECT_NE(rejection("colour", "red").find("unknown option --colour"), std::string::npos);
    EXPECT_NE(rejection("memory", "nand").find("--memory"), std::string::npos);
    EXPECT_NE(rejection("disk-size", "1000").find("--disk-size"), std::string::npos);  // not whole 4K sectors
    EXPECT_NE(rejection("disk-size", "0").find("--disk-size"), std::string::npos);
    EXPECT_NE(rejection("disk-size", "12X").find("--disk-size"), std::string::npos);
    EXPECT_NE(rejection("max-packet", "100").find("--max-packet"), std::string::npos);
    EXPECT_NE(rejection("vid", "12345").find("--vid"), std::string::npos);
    EXPECT_NE(rejection("zlp", "maybe").find("--zlp"), std::string::npos);
    EXPECT_NE(rejection("link", "usb4").find("--link"), std::string::npos);
    EXPECT_NE(rejection("max-payload-to-target", "8G").find("32 bits"), std::string::npos);
    EXPECT_NE(rejection("startup-logs", "-1").find("--startup-logs"), std::string::npos);
    EXPECT_NE(rejection("response-delay-ms", "").find("--response-delay-ms"), std::string::npos);
    EXPECT_NE(rejection("digest-rate", "fast").find("--digest-rate"), std::string::npos);
    EXPECT_NE(rejection("without-verbs", "erase,flash").find("'flash' is not a programmer command"), std::string::npos);
    EXPECT_NE(rejection("without-verbs", "").find("--without-verbs"), std::string::npos);
    for (const char* bad : {"firehose:program", "firehose:program:explode", "sahara:image:status",
                            "sahara:hello:nak", "firehose:read:short", "firehose:program:stall",
                            "firehose:launch:nak", "modem:x:y", "firehose:nop:nak@0", "firehose:nop:nak@x",
                            "firehose:nop:nak=3", "a:b:c:d", "firehose:nop:latelog", "firehose:nop:latelog=x",
                            "storage:read:flip", "storage:write:flip=1", "0:firehose:nop:nak", "firehose:erase:short",
                            "101:firehose:nop:nak", "2:firehose:nop"})
        EXPECT_NE(rejection("fault", bad).find("--fault"), std::string::npos) << bad;
}

TEST(HandsetOptions, HelpNamesEveryOptionAndTheFaultGrammar)
{
    const std::string help = vhandset::help_text();
    for (const char* name : {"vid", "pid", "manufacturer", "product", "serial", "zlp", "max-packet", "memory",
                             "disk-size", "sahara-version", "sahara-mode", "max-payload-to-target",
                             "max-payload-from-target", "max-xml-size", "omit-payload-from-target", "startup-logs",
                             "response-delay-ms", "programmer-boot-ms", "record-writes", "link", "programmer-running", "long-logs",
                             "digest-rate", "erase-rate", "without-verbs", "fault"}) {
        handset_options o;
        EXPECT_NE(help.find(std::string("--") + name + " "), std::string::npos) << name;
    }
    for (const char* piece : {"[H:]PLACE:WHAT:KIND[=VALUE][@N]", "storage:write:flip", "latelog=MS", "sahara:hello:silence", "sahara:image:status=CODE",
                              "sahara:read:beyond", "nak", "garbage", "split", "merge", "short", "stall",
                              "disconnect", "getsha256digest", "setbootablestoragedrive"})
        EXPECT_NE(help.find(piece), std::string::npos) << piece;
}
