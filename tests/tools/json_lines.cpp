#include "json_lines.h"

#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace tooltest {

namespace {

enum kind { text, integer, number, boolean, object, array, text_or_null, number_or_null, object_or_null, integer_or_null };

struct field {
    const char* name;
    kind type;
};

bool fits(const json& v, kind k)
{
    switch (k) {
    case text: return v.is_string();
    case integer: return v.is_number_integer();
    case number: return v.is_number();
    case boolean: return v.is_boolean();
    case object: return v.is_object();
    case array: return v.is_array();
    case text_or_null: return v.is_null() || v.is_string();
    case number_or_null: return v.is_null() || v.is_number();
    case object_or_null: return v.is_null() || v.is_object();
    case integer_or_null: return v.is_null() || v.is_number_integer();
    }
    return false;
}

const std::vector<field> common = {{"schema", integer}, {"event", text}, {"time", text}, {"command", text}};
const std::vector<field> handset_fields = {{"port", text}, {"serial", text_or_null}};
const std::vector<field> error_fields = {{"message", text}, {"phase", text_or_null}, {"cause", text},
                                         {"advice", text_or_null}, {"written", boolean}, {"reason", text}};

const std::map<std::string, std::vector<field>> events = {
    {"start", {{"arguments", array}}},
    {"end", {{"ok", boolean}, {"exit_status", integer}, {"error", object_or_null}}},
    {"phase", {{"phase", text}}},
    {"progress", {{"message", text}, {"done", integer}, {"total", integer}, {"rate", number_or_null},
                  {"seconds_left", number_or_null}}},
    {"partition", {{"handset", object}, {"label", text}, {"lun", integer}, {"file", text}, {"bytes", integer},
                   {"outcome", text}, {"reason", text_or_null}}},
    {"result", {{"handset", object}, {"source", text}, {"host", text}, {"started", text}, {"seconds", number},
                {"bytes", integer}, {"partitions", object}, {"ok", boolean}, {"error", object_or_null}}},
    {"handset", {{"handset", object}}},
    {"package", {{"package", text}, {"version", integer}, {"data_length", integer}, {"md5", text}, {"sha256", text},
                 {"device", text}, {"memory_type", text}, {"sector_size", integer}, {"members", array}}},
    {"digests", {{"ok", boolean}}},
    {"signature", {{"state", text}, {"signer", text_or_null}, {"text", text}}},
    {"lun", {{"lun", integer}, {"sectors", integer_or_null}, {"problem", text_or_null}, {"partitions", array}}},
    {"saved", {{"what", text}, {"file", text}, {"bytes", integer}}},
    {"written", {{"what", text}, {"lun", integer}, {"first", integer}, {"file", text}, {"bytes", integer}}},
    {"erased", {{"what", text}, {"lun", integer}, {"first", integer}, {"sectors", integer}}},
    {"slot", {{"has_ab", boolean}, {"active", text_or_null}, {"active_a", array}, {"active_b", array}}},
    {"slot_switched", {{"active", text}, {"changed_entries", integer}, {"luns", array}, {"boot_lun", integer}}},
    {"storage", {{"lun", integer}, {"blocks", integer}, {"block_size", integer}, {"bytes", integer}}},
    {"problems", {{"problems", array}}},
    {"packed", {{"output", text}, {"bytes", integer}}},
    {"signed", {{"signature", text}, {"key_id", text}}},
    {"ready", {{"watch", text}}},
    {"attached", {{"handset", object}, {"flashed", boolean}}},
    {"left", {{"handset", object}}},
    {"stopping", {{"running", integer}}},
    {"summary", {{"flashed", integer}, {"failed", integer}, {"by_reason", object}}},
};

// Fields of start events, by command.
const std::map<std::string, std::vector<field>> starts = {
    {"flash", {{"package", text}, {"handset", object}, {"options", object}}},
    {"station", {{"source", text}, {"device", text}, {"options", object}, {"log", text_or_null}, {"host", text}}},
    {"verify", {{"package", text}}},
    {"info", {{"package", text}}},
};

void check(const json& v, const std::vector<field>& fields, const std::string& where, std::vector<std::string>& out)
{
    for (const field& f : fields) {
        if (!v.contains(f.name))
            out.push_back(where + ": no \"" + f.name + "\"");
        else if (!fits(v[f.name], f.type))
            out.push_back(where + ": \"" + f.name + "\" is " + v[f.name].dump());
    }
}

} // namespace

json parse_line(const std::string& line)
{
    json v = json::parse(line, nullptr, false);
    if (v.is_discarded() || !v.is_object())
        throw std::runtime_error("not a JSON object: " + line);
    return v;
}

std::vector<json> parse_lines(const std::string& text)
{
    std::vector<json> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(parse_line(line));
    return out;
}

std::vector<std::string> schema_problems(const json& e)
{
    std::vector<std::string> out;
    check(e, common, "line", out);
    if (!out.empty())
        return out;
    const std::string name = e["event"];
    if (e["schema"] != 1)
        out.push_back(name + ": schema " + e["schema"].dump());
    if (!std::regex_match(e["time"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        out.push_back(name + ": time " + e["time"].dump());
    const auto it = events.find(name);
    if (it == events.end()) {
        out.push_back("unknown event " + name);
        return out;
    }
    check(e, it->second, name, out);
    // A command that failed before it began starts without its own fields.
    const bool began = e.size() > common.size() + 1;
    if (name == "start" && began)
        if (const auto s = starts.find(e["command"]); s != starts.end())
            check(e, s->second, "start", out);
    // "left" names a handset by its port alone: its serial went with it.
    if (e.contains("handset") && e["handset"].is_object())
        check(e["handset"], name == "left" ? std::vector<field>{handset_fields[0]} : handset_fields, name + ".handset",
              out);
    if (e.contains("error") && e["error"].is_object())
        check(e["error"], error_fields, name + ".error", out);
    if (name == "partition" && !std::regex_match(e["outcome"].get<std::string>(), std::regex("written|verified|skipped")))
        out.push_back("partition: outcome " + e["outcome"].dump());
    return out;
}

std::vector<json> events_named(const std::vector<json>& all, const std::string& name)
{
    std::vector<json> out;
    for (const json& e : all)
        if (e.value("event", "") == name)
            out.push_back(e);
    return out;
}

} // namespace tooltest
