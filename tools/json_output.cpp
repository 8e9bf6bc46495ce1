#include "json_output.h"

#include "flash_phases.h"
#include "options.h"

#include <chrono>
#include <ctime>
#include <mutex>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace json_out {

namespace {

std::mutex lock;
std::FILE* out = nullptr;
std::string command_name;
std::vector<std::string> command_arguments;
bool started = false;
std::optional<object> recorded_error;

std::string line_locked(const std::string& event, object fields)
{
    object line = {{"schema", json_schema_version},
                   {"event", event},
                   {"time", utc_time(std::chrono::system_clock::now())},
                   {"command", command_name}};
    line.update(fields);
    return line.dump(-1, ' ', false, object::error_handler_t::replace) + "\n";
}

} // namespace

std::string line(const std::string& event, object fields)
{
    const std::lock_guard guard(lock);
    return line_locked(event, std::move(fields));
}

void name_command(const std::string& command, const std::vector<std::string>& arguments)
{
    const std::lock_guard guard(lock);
    command_name = command;
    command_arguments = arguments;
}

void enable()
{
    std::fflush(stdout);
    const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    std::FILE* events = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
    if (!events)
        throw std::runtime_error("brv: cannot set up --json output");
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    const std::lock_guard guard(lock);
    out = events;
}

bool enabled()
{
    const std::lock_guard guard(lock);
    return out != nullptr;
}

void emit(const std::string& event, object fields)
{
    const std::lock_guard guard(lock);
    if (!out)
        return;
    if (event == "start") {
        if (started)
            return;
        started = true;
    }
    const std::string text = line_locked(event, std::move(fields));
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

void start(object fields)
{
    object with_arguments = {{"arguments", command_arguments}};
    with_arguments.update(fields);
    emit("start", std::move(with_arguments));
}

void failure(const std::string& text, const std::string& reason)
{
    std::fprintf(stderr, "%s\n", text.c_str());
    const std::lock_guard guard(lock);
    recorded_error = error_of(text, reason);
}

void end(int exit_status, const std::exception* error, object extra)
{
    start();
    object fields = {{"ok", exit_status == 0}, {"exit_status", exit_status}, {"error", nullptr}};
    if (error)
        fields["error"] = error_of(*error);
    else if (exit_status != 0) {
        const std::lock_guard guard(lock);
        fields["error"] = recorded_error ? *recorded_error : error_of("the command failed", "other");
    }
    fields.update(extra);
    emit("end", std::move(fields));
}

void emit_phase(const std::string& phase)
{
    emit("phase", {{"phase", phase}});
}

object error_of(const std::string& message, const std::string& reason)
{
    return {{"message", message}, {"phase", nullptr}, {"cause", message},
            {"advice", nullptr},  {"written", false}, {"reason", reason}};
}

object error_of(const std::exception& e)
{
    if (const auto* f = dynamic_cast<const flash_failure*>(&e))
        return {{"message", f->what()},  {"phase", f->phase()},     {"cause", f->cause()},
                {"advice", f->advice()}, {"written", f->written()}, {"reason", failure_kind_name(f->kind())}};
    if (dynamic_cast<const operation_cancelled*>(&e))
        return error_of(e.what(), "cancelled");
    return error_of(e.what(), dynamic_cast<const usage_error*>(&e) ? "usage" : "other");
}

std::string utc_time(std::chrono::system_clock::time_point t)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms));
    return text;
}

} // namespace json_out
