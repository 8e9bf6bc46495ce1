// Shared pieces of the fuzz harnesses: outside bytes reach each parser the way
// they would in use (a package file on disk, a programmer's USB transfers),
// and every harness ends by returning 0 whatever the parser decided. Only a
// std::runtime_error is a parser's refusal; anything else leaving a parser is
// a fault the fuzzer should report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fuzz {

// libxml2 reports every malformed document on stderr unless told otherwise;
// that would drown the fuzzer's own output and slow it down.
void quiet_xml();

// An anonymous in-memory file with a path that open(2) accepts, rewritten for
// every input: package files are opened by path, and nothing lands on disk.
class memory_file {
public:
    memory_file();
    memory_file(const memory_file&) = delete;
    memory_file& operator=(const memory_file&) = delete;
    ~memory_file();
    const std::string& path() const { return path_; }
    void write(const std::uint8_t* data, std::size_t size);

private:
    int fd_ = -1;
    std::string path_;
};

// Where a harness's private directory goes (a testsupport::temp_dir): in
// memory where the system has it, else the temporary directory.
std::filesystem::path scratch_parent();

// Runs one step of a harness; the parser refusing the input ends the step, not
// the harness.
void attempt(const std::function<void()>& step);

// One USB IN transfer from the device, or a read that times out (nullopt).
using transfer = std::optional<std::string>;

// Transfers of a text protocol: the input cut at every NUL byte (which no XML
// document contains); an empty piece between two NULs is a time-out.
std::vector<transfer> split_at_nul(const std::uint8_t* data, std::size_t size);

// Transfers of a binary protocol: each is one length byte and that many bytes
// (fewer at the end of the input); length 0 is a time-out.
std::vector<transfer> length_prefixed(const std::uint8_t* data, std::size_t size);

} // namespace fuzz
