// brv --json output as the tests read it: every line parsed, and each event
// checked against the schema brv(1) documents (version 1).
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace tooltest {

using json = nlohmann::json;

// Every line of `text` parsed; throws std::runtime_error naming the first
// line that is not one JSON object.
std::vector<json> parse_lines(const std::string& text);
json parse_line(const std::string& line);

// What in the event does not fit the schema: a missing field, a field of the
// wrong type, an unknown event. Empty when it fits.
std::vector<std::string> schema_problems(const json& event);

// The events named `name`.
std::vector<json> events_named(const std::vector<json>& events, const std::string& name);

} // namespace tooltest
