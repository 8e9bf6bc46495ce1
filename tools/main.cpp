// brv: the command-line face of Brenvik (pack, inspect, verify and flash
// firmware packages; list handsets in emergency-download mode).
#include "command.h"
#include "handset_args.h"
#include "log.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr unsigned verbose_log_level = 3;

const command* const commands[] = {&pack_command,  &info_command,       &verify_command, &flash_command,
                                   &write_command, &erase_command,      &slot_command,   &storage_command,
                                   &devices_command, &partitions_command, &read_command, &sign_command};

void print_overview(std::FILE* out)
{
    std::fprintf(out, "Usage: brv [-v] COMMAND [ARGS]\n\nCommands:\n");
    for (const command* c : commands)
        std::fprintf(out, "  %-10s %s\n", c->name, c->summary);
    std::fprintf(out, "\nOptions:\n"
                      "  -v, --verbose  write log lines to stderr\n"
                      "  -h, --help     show help (also after a command)\n"
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

int run_command(const command& c, const std::vector<std::string>& args)
{
    parsed_args parsed;
    try {
        parsed = parse_args(args, c.options);
        if (parsed.has("-h") || parsed.has("--help")) {
            std::fputs(c.usage, stdout);
            return exit_ok;
        }
        if (parsed.positional.size() < c.min_positional)
            throw usage_error("missing argument");
        if (parsed.positional.size() > c.max_positional)
            throw usage_error("unexpected argument " + parsed.positional[c.max_positional]);
    } catch (const usage_error& e) {
        std::fprintf(stderr, "brv %s: %s\n", c.name, e.what());
        std::fprintf(stderr, "Try 'brv %s --help'.\n", c.name);
        return exit_usage;
    }
    if (parsed.has("-v") || parsed.has("--verbose"))
        enable_verbose();
    try {
        return c.run(parsed);
    } catch (const usage_error& e) {
        std::fprintf(stderr, "brv %s: %s\n", c.name, e.what());
        return exit_usage;
    } catch (const several_handsets& e) {
        std::fputs(several_handsets_text(e, c.several_handsets_hint).c_str(), stderr);
        return exit_failed;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return exit_failed;
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::size_t first = 0;
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
            return run_command(*c, std::vector<std::string>(args.begin() + first + 1, args.end()));
    }
    std::fprintf(stderr, "brv: unknown command '%s'\n", args[first].c_str());
    print_overview(stderr);
    return exit_usage;
}
