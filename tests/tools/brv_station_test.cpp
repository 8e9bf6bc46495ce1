// brv station against three virtual handsets: each flashed once per plug, a
// handset unplugged mid-flash reported failed and flashed again when it comes
// back, one that stays attached left alone, the results on stdout and in the
// log, Ctrl-C letting the running flash finish before the summary, and a
// maker's folder taken as a package is.
#include "json_lines.h"
#include "tool_env.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <regex>

using namespace tooltest;

namespace {

using namespace std::chrono_literals;

// brv station with the demo under the launcher. The tests keep the handsets
// attached for a while after their reset (--reset-delay-ms), so a station
// that flashed one again while it is still there would be caught.
std::vector<std::string> station_argv(const fs::path& state, const std::vector<std::string>& handset,
                                      std::vector<std::string> args, const fs::path& source = demo_package())
{
    args.insert(args.begin(), {"station", source.string()});
    return brv_under_launcher(state, handset, args);
}

void control(const fs::path& state, const std::string& command)
{
    std::ofstream(state / "control") << command << "\n";
}

// Reads events until `until` accepts one (returned) or the output ends.
json read_until(background_run& station, std::vector<json>& seen, const std::function<bool(const json&)>& until)
{
    while (const auto line = station.next_line(30s)) {
        seen.push_back(parse_line(*line));
        if (until(seen.back()))
            return seen.back();
    }
    throw std::runtime_error("the station's output ended first:\n" + station.err());
}

std::function<bool(const json&)> event_at(const std::string& event, const std::string& port,
                                          const std::function<bool(const json&)>& also = {})
{
    return [=](const json& e) {
        return e["event"] == event && e.contains("handset") && e["handset"]["port"] == port && (!also || also(e));
    };
}

} // namespace

TEST(BrvStation, FlashesEachHandsetOncePerPlugAndStopsCleanly)
{
    temp_dir dir;
    const fs::path state = dir / "state";
    const fs::path log = dir / "results.jsonl";
    // Handset 2 answers its third write 4 s late, wherever it is plugged in:
    // time to unplug it mid-flash, and to press Ctrl-C during its second flash.
    background_run station(station_argv(state,
                                        {"--handsets", "3", "--reset-delay-ms", "8000", "--fault",
                                         "2:firehose:program:delay=4000@3"},
                                        {"--json", "--log", log.string()}),
                           quick_programmer);
    std::vector<json> seen;
    read_until(station, seen, event_at("phase", "1-2", [](const json& e) {
                   return e["phase"].get<std::string>().rfind("Writing xbl_config", 0) == 0;
               }));
    control(state, "detach 2");
    const json lost = read_until(station, seen, event_at("result", "1-2"));
    EXPECT_FALSE(lost["ok"].get<bool>());
    EXPECT_EQ("left_bus", lost["error"]["reason"]) << lost.dump();
    EXPECT_TRUE(lost["error"]["written"].get<bool>());

    // Plugged in again: the same port, a new plug, flashed again.
    control(state, "attach");
    read_until(station, seen, event_at("phase", "1-2", [](const json& e) {
                   return e["phase"].get<std::string>().rfind("Writing xbl_config", 0) == 0;
               }));
    station.send_signal(SIGINT);
    const json again = read_until(station, seen, event_at("result", "1-2"));
    EXPECT_TRUE(again["ok"].get<bool>()) << again.dump();
    read_until(station, seen, [](const json& e) { return e["event"] == "end"; });
    EXPECT_EQ(1, station.wait()) << "one flash failed\n" << station.err();

    for (const json& e : seen)
        for (const std::string& problem : schema_problems(e))
            ADD_FAILURE() << problem << "\n" << e.dump();
    std::map<std::string, int> ok_by_port;
    for (const json& r : events_named(seen, "result"))
        ok_by_port[r["handset"]["port"]] += r["ok"].get<bool>();
    EXPECT_EQ((std::map<std::string, int>{{"1-1", 1}, {"1-2", 1}, {"1-3", 1}}), ok_by_port)
        << "handsets 1 and 3 stayed attached and were flashed once";
    const std::vector<json> summary = events_named(seen, "summary");
    ASSERT_EQ(1u, summary.size());
    EXPECT_EQ(3, summary[0]["flashed"]);
    EXPECT_EQ(1, summary[0]["failed"]);
    EXPECT_EQ(1, summary[0]["by_reason"]["left_bus"]);
    EXPECT_EQ("handsets_failed", seen.back()["error"]["reason"]);

    // The log holds the four results, each a line of its own.
    const std::vector<json> logged = parse_lines(read_text(log));
    ASSERT_EQ(4u, logged.size());
    int logged_ok = 0;
    for (const json& r : logged) {
        EXPECT_EQ("result", r["event"]);
        EXPECT_TRUE(schema_problems(r).empty()) << r.dump();
        logged_ok += r["ok"].get<bool>();
    }
    EXPECT_EQ(3, logged_ok);
}

TEST(BrvStation, PollingTakesAHandsetOnceAndReportsForPeople)
{
    // The package, and the folder it was packed from, flash alike.
    for (const fs::path& source : {demo_package(), demo_sources()}) {
        SCOPED_TRACE(source.string());
        temp_dir dir;
        const fs::path state = dir / "state";
        background_run station(station_argv(state, {"--reset-delay-ms", "4000"}, {"--poll"}, source), quick_programmer);
        const auto line = station.next_line(30s);
        ASSERT_TRUE(line.has_value()) << station.err();
        EXPECT_TRUE(std::regex_match(*line, std::regex(R"(\S+Z  1-1 +VH00000001 +[0-9.]+ s +5932544 bytes  Succeeded)")))
            << *line;
        // Several more looks at the bus while the handset is still attached.
        EXPECT_FALSE(station.next_line(2500ms).has_value()) << "flashed twice";
        station.send_signal(SIGINT);
        EXPECT_EQ("Summary: 1 flashed, 0 failed", station.next_line(10s).value_or("(none)"));
        EXPECT_EQ(0, station.wait()) << station.err();
        EXPECT_NE(std::string::npos, station.err().find("[1-1] Writing system.img to system_a (LUN 0)")) << station.err();
    }
}
