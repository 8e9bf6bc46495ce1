// Host side of the Sahara protocol: uploads the flash programmer to the boot ROM
// of a handset in emergency-download mode, and offers mode switching, reset and
// memory-debug reads. Every failure throws std::runtime_error; link errors
// (time-out, broken link) pass through as the link's link_error, while refusals
// by the handset read "target error <status text>".
#pragma once

#include "buffer.h"
#include "transport.h"

#include <cstdint>
#include <string>

class sahara {
public:
    sahara() = default;

    // Speaks through link (borrowed until close): sets its time-out to 500 ms
    // and runs the hello exchange (the HELLO must arrive within one read).
    void open(transport& link);
    // Serves the target's read requests from the image until it reports the end.
    void upload(const std::uint8_t* data, std::uint64_t size);
    void upload(const buffer& image);
    void upload(const std::string& path);
    void switch_mode(std::uint32_t mode);
    void reset();
    buffer memory_read(std::uint64_t address, std::uint64_t length);
    buffer memory_read();
    bool is_mem64() const { return mem64_; }
    std::uint32_t mode() const { return mode_; }
    std::uint32_t version() const { return version_; }
    // Lets go of the link; the link itself stays open.
    void close();

    // Text for an END_OF_IMAGE status; "Unknown error" past the table.
    static const char* error_string(std::uint32_t code);

private:
    // Reads the target's HELLO, answers it and completes the mode's opening step.
    void hello();

    // The open link; throws "sahara: not open" without one.
    transport& link();

    transport* port_ = nullptr;
    std::uint32_t version_ = 0;
    std::uint32_t version_compatible_ = 0;
    std::uint32_t mode_ = 0;
    bool mem64_ = false;
    std::uint64_t mem_address_ = 0;
    std::uint64_t mem_length_ = 0;
};
