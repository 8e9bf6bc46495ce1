// One virtual handset on the bus for the length of a test, opened through the
// USB layer exactly as the flash worker opens a real one.
#pragma once

#include "buffer.h"
#include "handset_options.h"
#include "usbport.h"
#include "test_files.h"
#include "vhandset.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class handset_session {
public:
    explicit handset_session(const vhandset::handset_options& options = {});
    ~handset_session();
    handset_session(const handset_session&) = delete;
    handset_session& operator=(const handset_session&) = delete;

    int handle() const { return handle_; }
    // A new pipe on the emergency-download interface (the one before it is
    // closed), as each protocol session of the flash opens its own.
    transport& fresh_pipe();
    vhandset::handset& device() { return *device_; }
    std::vector<std::string> transcript() const { return device_->transcript(); }
    // The handset records what it received on its own thread: waits (up to a
    // second) until at least n lines are there, for checks after the host's last write.
    std::vector<std::string> transcript_of_at_least(std::size_t n) const;
    // Transcript lines that start with `prefix`.
    std::vector<std::string> lines(const std::string& prefix) const;

    // Uploads a small 32-bit ELF programmer with Sahara, so that the Firehose
    // programmer runs.
    void boot_programmer();

    std::string lun_bytes(unsigned lun, std::uint64_t offset, std::size_t length) const;

private:
    testsupport::temp_dir scratch_;
    const std::filesystem::path state_dir_ = scratch_ / "state";
    std::shared_ptr<vhandset::handset> device_;
    int handle_ = -1;
    std::unique_ptr<usbport> pipe_;
};

std::string text_of(const buffer& b);
