// Shared helpers of the virtual handset's in-process tests.
#pragma once

#include "test_files.h"
#include "vhandset.h"

#include <libusb.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace vhandset_test {

using bytes = std::vector<std::uint8_t>;
using clock_type = std::chrono::steady_clock;

constexpr std::uint8_t ep_in = 0x81;
constexpr std::uint8_t ep_out = 0x01;
constexpr unsigned short_wait_ms = 100;
constexpr unsigned long_wait_ms = 5000;

inline bytes pattern(std::size_t n, std::uint8_t seed = 1)
{
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

// A latch the test opens; firmware waits on it. Opened at tear-down at the
// latest so no firmware thread is left waiting.
class gate {
public:
    void open()
    {
        std::lock_guard lock(m_);
        open_ = true;
        cv_.notify_all();
    }
    void wait()
    {
        std::unique_lock lock(m_);
        cv_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// What a firmware received, one entry per device_link::receive().
class receipts {
public:
    void add(bytes b)
    {
        std::lock_guard lock(m_);
        items_.push_back(std::move(b));
        cv_.notify_all();
    }
    // Waits until `count` receipts exist; returns them.
    std::vector<bytes> wait_for(std::size_t count, unsigned timeout_ms = long_wait_ms)
    {
        std::unique_lock lock(m_);
        cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return items_.size() >= count; });
        return items_;
    }
    std::vector<bytes> now()
    {
        std::lock_guard lock(m_);
        return items_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<bytes> items_;
};

// Fixture: one libusb context per test, a fresh state directory, and every
// handset unplugged at the end.
class usb_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(libusb_init(&ctx), 0);
    }

    void TearDown() override
    {
        for (auto& h : handles)
            libusb_close(h);
        handles.clear();
        gate_.open();
        vhandset::detach_all();
        libusb_exit(ctx);
    }

    std::shared_ptr<vhandset::handset> plug(std::function<void(vhandset::device_link&)> fw,
                                            vhandset::handset_options opts = {})
    {
        return vhandset::attach_with_firmware(opts, dir / std::to_string(++plugged_), std::move(fw));
    }

    // Opens the first 05c6:9008 device and claims its interface.
    libusb_device_handle* open_claimed()
    {
        libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, 0x05c6, 0x9008);
        if (h == nullptr)
            return nullptr;
        handles.push_back(h);
        EXPECT_EQ(libusb_claim_interface(h, 0), 0);
        return h;
    }

    void forget(libusb_device_handle* h) { std::erase(handles, h); }

    // Runs event handling until *done is set or the time is up.
    void pump_until(const std::atomic<bool>& done, unsigned timeout_ms = long_wait_ms)
    {
        const auto until = clock_type::now() + std::chrono::milliseconds(timeout_ms);
        while (!done && clock_type::now() < until) {
            timeval tv{0, 10000};
            libusb_handle_events_timeout(ctx, &tv);
        }
    }

    libusb_context* ctx = nullptr;
    testsupport::temp_dir scratch;
    const std::filesystem::path dir = scratch.path();
    std::vector<libusb_device_handle*> handles;
    gate gate_;

private:
    unsigned plugged_ = 0;
};

// Firmware that keeps quiet and only leaves when unplugged.
inline void idle_firmware(vhandset::device_link& link)
{
    std::uint8_t sink[64];
    for (;;)
        link.receive(sink, sizeof sink, 0, nullptr);
}

} // namespace vhandset_test
