// What the command-line tests share: where the built programs are, a scratch
// directory that cleans up after itself, running a program with its output
// captured, and a small package source directory to pack.
#pragma once

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

class scratch_dir {
public:
    scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    ~scratch_dir();
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

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
void write_bytes(const fs::path& p, const std::vector<std::uint8_t>& bytes);
void write_text(const fs::path& p, const std::string& text);

// A package source directory: metadata, notes, a nested text member and a
// 200 KiB binary member (several 64 KiB chunks, not a multiple of one).
void make_package_sources(const fs::path& dir);

} // namespace tooltest
