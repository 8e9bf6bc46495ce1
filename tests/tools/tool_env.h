// What the command-line tests share: where the built programs are, running a
// program with its output captured, and a small package source directory to
// pack.
#pragma once

#include "test_files.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
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

std::string read_text(const fs::path& p);
std::vector<std::uint8_t> read_bytes(const fs::path& p);

// A package source directory for the packer's own tests: metadata, notes, a
// nested text member, an empty one and a 200 KiB binary member (several
// 64 KiB chunks, not a multiple of one). No programmer or program file.
void make_package_sources(const fs::path& dir);

} // namespace tooltest
