// Fixtures for the package tests: hand-made archives and package files
// (including deliberately broken ones), a log recorder and a progress recorder.
#pragma once

#include "error_text.h"
#include "progress.h"
#include "test_files.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace pkgtest {

using testsupport::error_text;
using testsupport::read_file;
using testsupport::temp_dir;
using testsupport::write_file;

// Deterministic pseudo-random bytes (different seeds give different bytes).
std::string pattern_bytes(std::size_t n, std::uint32_t seed);

struct zip_member {
    std::string name;
    std::string bytes;
    bool deflate = true;
    bool wrong_crc = false;         // stored with a CRC that does not match the bytes
    bool bad_local_header = false;  // the local header's signature is damaged
    bool cut_data = false;          // only the first half of the compressed data is stored (sizes agree with it)
    std::uint64_t claimed_size = 0; // when not 0, the size both headers claim (zip64 fields from 4 GiB on)
};

// A zip archive of the members, written field by field so that tests can
// make every kind of damage a real archive may carry (two members may share a
// name). With exact_size non-zero, the archive comment pads it to exactly that
// many bytes (it must be reachable with a comment of at most 65535 bytes).
std::string make_zip(const std::vector<zip_member>& members, std::size_t exact_size = 0);

// Changes applied to an otherwise correct header.
struct header_tweak {
    std::int64_t length_delta = 0;    // added to the stored payload length
    std::uint32_t version = 0x00010000;
    bool bad_external_magic = false;
    bool bad_internal_magic = false;
    bool bad_sha256 = false;          // stored SHA-256 differs from the payload's
};

// Writes a package file: header (digests over `payload`) and the scrambled payload.
void write_package(const std::filesystem::path& path, const std::string& payload, const header_tweak& tweak = {});

// Collects log lines ("I:..." / "E:...") while it exists.
class log_capture {
public:
    log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;
    ~log_capture();
    std::vector<std::string> lines() const;
    bool has(const std::string& line) const;
    std::size_t count(const std::string& line) const;
    void clear();
};

// Records what a long operation reported.
class progress_recorder : public progress_handler {
public:
    void started() override;
    void changed() override;
    void finished() override;

    unsigned started_calls() const;
    unsigned finished_calls() const;
    // Every distinct message in the order it first appeared.
    std::vector<std::string> messages() const;
    std::uint64_t max_seen() const;
    // The handler's value at every change notification.
    std::vector<std::uint64_t> values() const;
    // Runs inside every change notification (on the operation's thread).
    void on_change(std::function<void()> action);

private:
    mutable std::mutex record_lock_;
    std::function<void()> on_change_;
    std::vector<std::uint64_t> values_;
    unsigned started_ = 0;
    unsigned finished_ = 0;
    std::uint64_t max_ = 0;
    std::vector<std::string> messages_;
};

} // namespace pkgtest
