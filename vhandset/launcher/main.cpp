// brv-vhandset: runs a program with the virtual handset in place of the USB
// library, e.g. `brv-vhandset --memory emmc -- brv flash pkg.brp`.
#include "session_config.h"
#include "usb_faults.h"
#include "usb_link.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int exit_usage = 2;
constexpr int exit_cannot_run = 127;
constexpr const char* library_name = "libvhandset.so";

const char* const usage =
    "Usage: brv-vhandset [OPTIONS] -- PROGRAM [ARGS...]\n"
    "Runs PROGRAM with emulated emergency-download handsets (USB 05c6:9008) in place of\n"
    "the USB library: libvhandset.so is preloaded and reads its settings from the state\n"
    "directory.\n"
    "\n"
    "Options:\n"
    "  --state DIR                     state directory (default: a new directory under /tmp,\n"
    "                                  printed on stderr); LUN images in it are reused\n"
    "  --handsets N                    handsets attached when PROGRAM starts (default 1);\n"
    "                                  handset 1 keeps its state in DIR, handset N in DIR/handsetN\n"
    "  --help                          this text\n"
    "  --version                       print the version and exit\n"
    "  --NAME VALUE, --NAME=VALUE      a handset option (below), for every handset\n"
    "\n"
    "Control channel: while PROGRAM runs, lines written to the FIFO DIR/control plug\n"
    "handsets in and out (e.g. `echo detach > DIR/control`):\n"
    "  attach                          plug in the lowest-numbered handset not on the bus\n"
    "  detach [N]                      unplug handset N (default: the one plugged in last)\n"
    "  detach-all                      unplug every handset\n"
    "Each command appends its outcome (\"ok ...\" or \"error: ...\") to DIR/control.log.\n"
    "\n"
    "Programs that PROGRAM starts inherit the preload: every process that initialises\n"
    "libusb gets handsets of its own, sharing the state directory.\n"
    "\n";

[[noreturn]] void fail(const std::string& message, int status = exit_usage)
{
    std::cerr << "brv-vhandset: " << message << "\n";
    std::exit(status);
}

std::filesystem::path library_path()
{
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        fail("cannot locate myself: " + ec.message(), exit_cannot_run);
    // Installed, the library is private to Brenvik (PREFIX/lib/brenvik beside
    // PREFIX/bin); in the build tree it sits in build/lib beside build/bin.
    const auto lib_dir = self.parent_path().parent_path() / "lib";
    for (const auto& lib : {lib_dir / "brenvik" / library_name, lib_dir / library_name})
        if (std::filesystem::exists(lib))
            return lib;
    fail(std::string("cannot find ") + library_name + " in " + (lib_dir / "brenvik").string() + " or " + lib_dir.string(),
         exit_cannot_run);
}

std::filesystem::path new_state_dir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "brv-vhandset.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        fail(std::string("cannot create a state directory: ") + std::strerror(errno), exit_cannot_run);
    return pattern;
}

} // namespace

int main(int argc, char** argv)
{
    vhandset::session_config cfg;
    std::filesystem::path state;
    int program_at = -1;

    try {
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg == "--") {
                program_at = i + 1;
                break;
            }
            if (arg == "--version") {
                std::cout << "brv-vhandset " << BRV_VERSION << "\n";
                return 0;
            }
            if (arg == "--help" || arg == "-h") {
                std::cout << usage << vhandset::help_text() << "\n" << vhandset::usb_fault_help() << "\n"
                          << vhandset::link_help();
                return 0;
            }
            if (arg.rfind("--", 0) != 0)
                fail("unexpected '" + arg + "' (the program to run follows --; see --help)");
            std::string name = arg.substr(2), value;
            bool has_value = false;
            if (const auto eq = name.find('='); eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.erase(eq);
                has_value = true;
            } else if (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) {
                value = argv[++i];
                has_value = true;
            }
            if (name == "state") {
                if (!has_value || value.empty())
                    fail("--state needs a directory");
                state = value;
            } else if (name == "handsets") {
                cfg.handsets = vhandset::parse_handset_count(value);
            } else {
                // Refuse bad values now, before the program starts.
                vhandset::handset_options probe;
                vhandset::parse_option(probe, name, value);
                cfg.options.emplace_back(name, value);
            }
        }
        vhandset::plan_usb_faults(cfg.handset());
    } catch (const std::invalid_argument& e) {
        fail(e.what());
    }
    if (program_at < 0 || program_at >= argc)
        fail("no program to run (brv-vhandset [OPTIONS] -- PROGRAM [ARGS...])");

    try {
        if (state.empty()) {
            state = new_state_dir();
            std::cerr << "brv-vhandset: state directory " << state.string() << "\n";
        }
        std::filesystem::create_directories(state);
        state = std::filesystem::absolute(state);
        vhandset::write_session_config(state, cfg);
        vhandset::make_control_fifo(state);
    } catch (const std::exception& e) {
        fail(e.what(), exit_cannot_run);
    }

    std::string preload = library_path().string();
    if (const char* old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0')
        preload += std::string(":") + old;
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    ::setenv(vhandset::state_env_var, state.c_str(), 1);

    ::execvp(argv[program_at], argv + program_at);
    fail(std::string("cannot run ") + argv[program_at] + ": " + std::strerror(errno), exit_cannot_run);
}
