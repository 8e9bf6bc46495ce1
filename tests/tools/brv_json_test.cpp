// brv --json as a program reads it: stdout holds nothing but JSON lines, each
// fits the documented schema, the first is "start" and the last "end", and
// the events say what happened (the handset, every partition, the bytes, the
// failure's phase and whether anything was written).
#include "json_lines.h"
#include "tool_env.h"

#include <gtest/gtest.h>

#include <set>

using namespace tooltest;

namespace {

// brv ARGS --json under the launcher.
run_result brv_json(const fs::path& state, const std::vector<std::string>& handset, std::vector<std::string> args)
{
    args.push_back("--json");
    return brv_on(state, handset, args);
}

// Parses and checks every line; the run's events.
std::vector<json> checked_events(const run_result& r, const std::string& name)
{
    std::vector<json> events;
    try {
        events = parse_lines(r.out);
    } catch (const std::exception& e) {
        ADD_FAILURE() << name << ": " << e.what();
        return {};
    }
    if (events.size() < 2) {
        ADD_FAILURE() << name << ": " << events.size() << " lines\n" << r.out << r.err;
        return events;
    }
    for (const json& e : events)
        for (const std::string& problem : schema_problems(e))
            ADD_FAILURE() << name << ": " << problem << "\n" << e.dump();
    EXPECT_EQ("start", events.front()["event"]) << name;
    EXPECT_EQ("end", events.back()["event"]) << name;
    EXPECT_EQ(r.status, events.back()["exit_status"]) << name;
    EXPECT_EQ(r.status == 0, events.back()["ok"]) << name;
    EXPECT_EQ(1u, events_named(events, "start").size()) << name;
    return events;
}

} // namespace

TEST(BrvJson, EveryCommandWritesEventsThatFitTheSchema)
{
    temp_dir dir;
    const std::string demo = demo_package().string();
    std::vector<std::uint8_t> damaged = read_bytes(demo_package());
    damaged[damaged.size() / 2] ^= 0x01;
    write_file(dir / "damaged.brp", damaged);

    struct case_ {
        const char* name;
        std::vector<std::string> handset;
        std::vector<std::string> args;
        int status;
        std::vector<std::pair<std::string, std::size_t>> counts;  // events that must appear that often
        std::string reason;                                        // of the end's error
    };
    const case_ cases[] = {
        {"devices", {"--handsets", "2"}, {"devices"}, 0, {{"handset", 2}}, ""},
        {"info", {}, {"info", demo}, 0, {{"package", 1}}, ""},
        {"verify", {}, {"verify", demo}, 0, {{"digests", 1}, {"signature", 1}}, ""},
        {"verify damaged", {}, {"verify", (dir / "damaged.brp").string()}, 1, {{"digests", 0}}, "digests"},
        {"flash", {}, {"flash", demo}, 0, {{"result", 1}, {"partition", 11}}, ""},
        {"flash refused", {"--fault", "firehose:program:nak@3"}, {"flash", demo}, 1, {{"result", 1}}, "refused"},
        {"flash without handset", {"--pid", "9025"}, {"flash", demo}, 1, {{"result", 0}}, "other"},
        {"bad usage", {}, {"flash", demo, "--type", "most"}, 2, {{"progress", 0}}, "usage"},
        {"storage", {}, {"storage", demo}, 0, {{"storage", 1}}, ""},
        {"slot", {}, {"slot", demo}, 0, {{"slot", 1}}, ""},
        {"write", {}, {"write", demo, "--lun", "0", "--start", "8", demo}, 0, {{"written", 1}, {"phase", 2}}, ""},
        {"erase unconfirmed", {}, {"erase", demo, "--lun", "0"}, 1, {{"erased", 0}}, "other"},
        {"erase", {}, {"erase", demo, "--lun", "0", "--yes"}, 0, {{"erased", 1}}, ""},
    };
    for (const case_& c : cases) {
        temp_dir state;
        const run_result r = brv_json(state.path(), c.handset, c.args);
        EXPECT_EQ(c.status, r.status) << c.name << "\n" << r.err;
        const std::vector<json> events = checked_events(r, c.name);
        if (events.empty())
            continue;
        for (const auto& [event, n] : c.counts)
            EXPECT_EQ(n, events_named(events, event).size()) << c.name << ": " << event;
        const json& end = events.back();
        if (c.reason.empty()) {
            EXPECT_TRUE(end["error"].is_null()) << c.name;
            continue;
        }
        ASSERT_TRUE(end["error"].is_object()) << c.name;
        EXPECT_EQ(c.reason, end["error"]["reason"]) << c.name;
        // The error a person reads is the one the program gets.
        EXPECT_NE(std::string::npos, r.err.find(end["error"]["message"].get<std::string>())) << c.name << "\n" << r.err;
    }
}

TEST(BrvJson, AFlashNamesItsHandsetPartitionsBytesAndWhereItFailed)
{
    struct case_ {
        const char* name;
        std::vector<std::string> handset;
        bool ok;
        std::string phase;  // of the failure
    };
    const case_ cases[] = {
        {"written", {}, true, ""},
        {"refused", {"--fault", "firehose:program:nak@3"}, false, "Writing xbl_config.bin to xbl_config (LUN 0)"},
    };
    for (const case_& c : cases) {
        temp_dir state;
        const std::vector<json> events = checked_events(brv_json(state.path(), c.handset, {"flash", demo_package().string()}), c.name);
        ASSERT_FALSE(events.empty()) << c.name;
        const json& start = events.front();
        EXPECT_EQ("1-1", start["handset"]["port"]) << c.name;
        EXPECT_EQ("VH00000001", start["handset"]["serial"]) << c.name;
        EXPECT_EQ("full", start["options"]["type"]) << c.name;

        std::uint64_t partition_bytes = 0;
        for (const json& p : events_named(events, "partition"))
            partition_bytes += p["bytes"].get<std::uint64_t>();
        const std::vector<json> results = events_named(events, "result");
        ASSERT_EQ(1u, results.size()) << c.name;
        EXPECT_EQ(c.ok, results[0]["ok"]) << c.name;
        EXPECT_EQ(partition_bytes, results[0]["bytes"]) << c.name;

        const std::vector<json> progress = events_named(events, "progress");
        ASSERT_FALSE(progress.empty()) << c.name;
        for (const json& p : progress)
            EXPECT_LE(p["done"].get<std::uint64_t>(), p["total"].get<std::uint64_t>()) << c.name;
        if (c.ok) {
            EXPECT_EQ(progress.back()["done"], progress.back()["total"]) << c.name;
            EXPECT_EQ(5932544u, partition_bytes) << "every byte of the demo's 11 partitions";
            std::set<std::string> phases;
            for (const json& p : events_named(events, "phase"))
                EXPECT_TRUE(phases.insert(p["phase"].get<std::string>()).second) << "announced twice: " << p["phase"];
            continue;
        }
        const json& error = events.back()["error"];
        EXPECT_EQ(c.phase, error["phase"]) << c.name;
        EXPECT_TRUE(error["written"].get<bool>()) << c.name;
        EXPECT_EQ(error, results[0]["error"]) << c.name;
        // The last phase event is where it failed.
        EXPECT_EQ(c.phase, events_named(events, "phase").back()["phase"]) << c.name;
    }
}
