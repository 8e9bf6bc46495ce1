// Shared set-up for the USB tests: virtual handsets in throw-away state
// directories, a fresh handle table for every case, and the few boot-ROM
// packets the tests use to make a handset send data on demand.
#pragma once

#include "test_files.h"
#include "usb.h"
#include "vhandset.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace usbtest {

constexpr usb_interface_match download_interface{0xff, 0xff, 0xff};
constexpr std::size_t hello_size = 48;

// Boot-ROM packets: little-endian 32-bit words, command id then length.
constexpr std::uint32_t cmd_hello = 1;
constexpr std::uint32_t cmd_hello_resp = 2;
constexpr std::uint32_t cmd_memory_debug = 9;
constexpr std::uint32_t cmd_memory_read = 10;
constexpr std::uint32_t mode_memory_debug = 2;
// The region a handset in memory-debug mode lets the host read.
constexpr std::uint32_t debug_region = 0x0c000000;
constexpr std::size_t memory_debug_size = 16;

std::uint32_t word_at(const std::uint8_t* bytes, std::size_t index);
std::vector<std::uint8_t> hello_response(std::uint32_t mode);
std::vector<std::uint8_t> memory_read_request(std::uint32_t address, std::uint32_t length);

using clock = std::chrono::steady_clock;
long elapsed_ms(clock::time_point since);

class handset_test : public ::testing::Test {
protected:
    void TearDown() override;

    // A handset in memory-debug mode with a small disk; `tweak` adjusts the rest.
    static vhandset::handset_options debug_options();
    std::shared_ptr<vhandset::handset> attach(const vhandset::handset_options& opts);
    std::shared_ptr<vhandset::handset> attach() { return attach(debug_options()); }

    // Opens the only handset and its download pipe, and takes its HELLO.
    void open_and_greet(int* handle, int* pipe);
    // Enters memory-debug mode on a greeted pipe (consumes MEMORY_DEBUG).
    void enter_memory_debug(int handle, int pipe);
    // A handset whose boot ROM wants an image (so a programmer can be started).
    static vhandset::handset_options programmer_options();
    // On a greeted pipe: uploads a minimal programmer image, finishes the
    // boot ROM's session and discards the programmer's start-up logs.
    void boot_programmer(int handle, int pipe);

    // Asks for `length` bytes of the debug region, which arrive in transfers
    // of at most 4096 bytes.
    void request_memory(int handle, int pipe, std::uint32_t length, std::uint32_t offset = 0);

private:
    testsupport::temp_dir root_;
    unsigned next_dir_ = 0;
};

} // namespace usbtest
