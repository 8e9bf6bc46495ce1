// brv --json: JSON Lines on stdout, one object per event, for programs (a
// line's database, a log shipper, the journal). The schema is documented in
// the README ("Machine-readable output") and in brv(1); its version is
// json_schema_version, raised whenever a field changes meaning or goes away
// (new fields and events may appear within a version).
//
// Every line carries "schema", "event", "time" (UTC, ISO 8601 with
// milliseconds) and "command"; the first line of a run is a "start" event and
// the last an "end" event.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace json_out {

// Fields keep the order they are written in: "schema", "event", "time" and
// "command" lead every line.
using object = nlohmann::ordered_json;

constexpr int json_schema_version = 1;

// Turns JSON output on: from here on events go to the process's standard
// output, and what the commands print for people on stdout goes to stderr
// instead. Call once, before anything is printed.
void enable();
bool enabled();
// The command the lines name and its arguments (for the "start" event); also
// when JSON output stays off (lines for a log file).
void name_command(const std::string& command, const std::vector<std::string>& arguments);

// Writes one event line (whole lines, safe from any thread); nothing when
// JSON output is off. Text that is not UTF-8 is written with U+FFFD in place
// of the bad bytes.
void emit(const std::string& event, object fields = object::object());

// The text of an event line as emit() writes it, newline included, also
// while JSON output is off (for a log file).
std::string line(const std::string& event, object fields);

// The command's "start" event, with "arguments" (the command line after the
// command's name) and `fields`; only the first call counts. end() emits one
// without fields when the command failed before it began.
void start(object fields = object::object());

// Records why the command failed, for the "end" event, and prints the text
// for people on stderr. For failures that are not exceptions (a verification
// that did not match, a cancelled flash).
void failure(const std::string& text, const std::string& reason = "other");

// The "end" event: ok when exit_status is 0; the error from `error` when
// given, else the one failure() recorded. Extra fields join it.
void end(int exit_status, const std::exception* error, object extra = object::object());

// {"message", "phase", "cause", "advice", "written", "reason"} for an
// exception: a flash_failure's parts, or its text as the cause of a phase
// unknown (null) with nothing written.
object error_of(const std::exception& e);
object error_of(const std::string& message, const std::string& reason);

// A "phase" event for each phase of an operation (for flash_phases::observe).
void emit_phase(const std::string& phase);

// "2026-03-01T12:00:00.250Z".
std::string utc_time(std::chrono::system_clock::time_point t);

} // namespace json_out
