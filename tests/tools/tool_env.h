// What the command-line tests share: where the built programs are, running a
// program with its output captured, and a small package source directory to
// pack.
#pragma once

#include "test_files.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tooltest {

namespace fs = std::filesystem;

fs::path binary_dir();            // $BRV_BINARY_DIR (set by CTest)
fs::path brv_program();           // bin/brv
fs::path launcher_program();      // bin/brv-vhandset
fs::path demo_package();          // examples/demo.brp
fs::path demo_sources();          // examples/demo (the staged member files)

using testsupport::temp_dir;
using testsupport::write_file;
using testsupport::write_folder;

struct run_result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs argv[0] (a path) with the current environment plus `env` ("NAME=value").
run_result run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

// As run, and sends `signal` to the program once `ready` returns true (asked
// every few milliseconds while the program runs; never when it ended first).
run_result run_and_signal(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const std::function<bool()>& ready, int signal);

// The environment that spares brv the programmer's start-up pause.
extern const std::vector<std::string> quick_programmer;
// brv ARGS under the launcher with eMMC handsets of 64 MiB, the launcher's
// own options in `handset`, its state in `state`.
std::vector<std::string> brv_under_launcher(const fs::path& state, const std::vector<std::string>& handset,
                                            const std::vector<std::string>& args);
// That command run with quick_programmer.
run_result brv_on(const fs::path& state, const std::vector<std::string>& handset, const std::vector<std::string>& args);

// A program left running while the test talks to it: its stdout read line
// by line as it comes, its stderr kept in a file. Killed if still running
// when the object goes.
class background_run {
public:
    explicit background_run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    background_run(const background_run&) = delete;
    background_run& operator=(const background_run&) = delete;
    ~background_run();

    // The next line of stdout without its newline; none at the end of the
    // output or when `timeout` passes first.
    std::optional<std::string> next_line(std::chrono::milliseconds timeout);
    void send_signal(int sig);
    // Waits for the exit; the status as run() gives it.
    int wait();
    std::string err() const;

private:
    temp_dir capture_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
    int status_ = -1;
};

std::string read_text(const fs::path& p);
std::vector<std::uint8_t> read_bytes(const fs::path& p);

// A package source directory for the packer's own tests: metadata, notes, a
// nested text member, an empty one and a 200 KiB binary member (several
// 64 KiB chunks, not a multiple of one). No programmer or program file.
void make_package_sources(const fs::path& dir);

} // namespace tooltest
