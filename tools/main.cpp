// brv: the command-line face of Brenvik (pack, inspect, verify and flash
// firmware packages; list handsets in emergency-download mode).
#include "command.h"
#include "handset_args.h"
#include "json_output.h"
#include "log.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr unsigned verbose_log_level = 3;

const command* const commands[] = {&pack_command,    &info_command,       &verify_command, &flash_command,
                                   &write_command,   &erase_command,      &slot_command,   &storage_command,
                                   &devices_command, &partitions_command, &read_command,   &sign_command,
                                   &station_command};

void print_overview(std::FILE* out)
{
    std::fprintf(out, "Usage: brv [-v] COMMAND [ARGS]\n\nCommands:\n");
    for (const command* c : commands)
        std::fprintf(out, "  %-10s %s\n", c->name, c->summary);
    std::fprintf(out, "\nOptions:\n"
                      "  -v, --verbose  write log lines to stderr\n"
                      "  -h, --help     show help (also after a command)\n"
                      "      --json     JSON Lines on stdout, one event per line (also after a command)\n"
                      "      --version  print the version and exit\n"
                      "\nExit status: 0 success, 1 failed operation, 2 bad usage.\n");
}

void log_to_stderr(const char* line)
{
    std::fputs(line, stderr);
    const std::size_t n = std::strlen(line);
    if (n == 0 || line[n - 1] != '\n')
        std::fputc('\n', stderr);
}

void enable_verbose()
{
    log_level = verbose_log_level;
    set_log_sink(log_to_stderr);
}

// --json anywhere before "--", also where the rest does not parse.
bool wants_json(const std::vector<std::string>& args)
{
    for (const std::string& a : args) {
        if (a == "--")
            break;
        if (a == "--json")
            return true;
    }
    return false;
}

// A usage error, for people and, with --json, as the run's only events.
int usage_failure(const command& c, const usage_error& e, bool hint)
{
    std::fprintf(stderr, "brv %s: %s\n", c.name, e.what());
    if (hint)
        std::fprintf(stderr, "Try 'brv %s --help'.\n", c.name);
    json_out::end(exit_usage, &e);
    return exit_usage;
}

int run_command(const command& c, const std::vector<std::string>& args, bool json)
{
    json_out::name_command(c.name, args);
    if (json || wants_json(args))
        json_out::enable();
    parsed_args parsed;
    try {
        parsed = parse_args(args, c.options);
        if (parsed.has("-h") || parsed.has("--help")) {
            std::fputs(c.usage, stdout);
            json_out::end(exit_ok, nullptr);
            return exit_ok;
        }
        if (parsed.positional.size() < c.min_positional)
            throw usage_error("missing argument");
        if (parsed.positional.size() > c.max_positional)
            throw usage_error("unexpected argument " + parsed.positional[c.max_positional]);
    } catch (const usage_error& e) {
        return usage_failure(c, e, true);
    }
    if (parsed.has("-v") || parsed.has("--verbose"))
        enable_verbose();
    try {
        const int status = c.run(parsed);
        json_out::end(status, nullptr);
        return status;
    } catch (const usage_error& e) {
        return usage_failure(c, e, false);
    } catch (const several_handsets& e) {
        std::string text = several_handsets_text(e, c.several_handsets_hint);
        text.pop_back();  // failure() ends the line
        json_out::failure(text, "several_handsets");
        json_out::end(exit_failed, nullptr);
        return exit_failed;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        json_out::end(exit_failed, &e);
        return exit_failed;
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::size_t first = 0;
    bool json = false;
    for (; first < args.size() && args[first].size() > 1 && args[first][0] == '-'; ++first) {
        const std::string& a = args[first];
        if (a == "-h" || a == "--help") {
            print_overview(stdout);
            return exit_ok;
        }
        if (a == "--version") {
            std::printf("brv %s\n", BRV_VERSION);
            return exit_ok;
        }
        if (a == "-v" || a == "--verbose") {
            enable_verbose();
            continue;
        }
        if (a == "--json") {
            json = true;
            continue;
        }
        std::fprintf(stderr, "brv: unknown option %s\n", a.c_str());
        print_overview(stderr);
        return exit_usage;
    }
    if (first == args.size()) {
        print_overview(stderr);
        return exit_usage;
    }
    for (const command* c : commands) {
        if (args[first] == c->name)
            return run_command(*c, std::vector<std::string>(args.begin() + first + 1, args.end()), json);
    }
    std::fprintf(stderr, "brv: unknown command '%s'\n", args[first].c_str());
    print_overview(stderr);
    return exit_usage;
}
