// usbport: errors become exceptions with the system's text, buffers come back
// sized to what arrived, and the device handle stays with whoever opened it.
#include "handset_fixture.h"
#include "usbport.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

using namespace usbtest;

namespace {

class usbport_test : public handset_test {
protected:
    // Opens the device and a greeted, memory-debug pipe on `port`.
    void prepare(usbport& port)
    {
        port.open_vidpid(edl_vidpid, true);
        port.open_pipe(port.handle(), download_interface);
        port.set_timeout(1000);
        ASSERT_EQ(read_transfer(port, hello_size).size(), hello_size);
        const auto resp = hello_response(mode_memory_debug);
        port.write(resp.data(), resp.size());
        ASSERT_EQ(read_transfer(port, hello_size).size(), memory_debug_size);
    }
    void ask(usbport& port, std::uint32_t length, std::uint32_t offset = 0)
    {
        const auto req = memory_read_request(debug_region + offset, length);
        port.write(req.data(), req.size());
    }
};

std::string text_of(int error)
{
    return std::strerror(error);
}

TEST_F(usbport_test, failures_carry_the_system_text)
{
    usbport port;
    EXPECT_EQ(port.handle(), -1);
    EXPECT_EQ(port.pipe(), -1);
    try {
        port.open_vidpid(edl_vidpid, true);
        FAIL() << "no handset attached";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), text_of(ENODEV));
    }

    attach();
    port.open_vidpid(edl_vidpid, true);
    port.open_pipe(port.handle(), download_interface);
    port.set_timeout(1000);
    std::uint8_t small[16];
    try {
        port.read(small, sizeof small);
        FAIL() << "the HELLO is 48 bytes";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), text_of(EOVERFLOW));
    }
    port.set_timeout(100);
    EXPECT_EQ(port.timeout(), 100u);
    try {
        read_transfer(port, hello_size);
        FAIL() << "nothing more was sent";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), text_of(ETIMEDOUT));
    }
}

TEST_F(usbport_test, buffers_hold_what_arrived)
{
    attach();
    usbport port;
    ASSERT_NO_FATAL_FAILURE(prepare(port));

    ask(port, 100);
    const buffer one = read_transfer(port, usb_receive_size);
    ASSERT_EQ(one.size(), 100u);

    ask(port, 70);
    ask(port, 30, 70);
    const buffer exact = read_exact(port, 100);
    ASSERT_EQ(exact.size(), 100u);
    EXPECT_EQ(std::memcmp(one.c_ptr(), exact.c_ptr(), 100), 0);

    ask(port, 120);
    EXPECT_THROW(read_exact(port, 100), std::runtime_error);
}

TEST_F(usbport_test, buffer_write_sends_the_unread_part)
{
    attach();
    usbport port;
    ASSERT_NO_FATAL_FAILURE(prepare(port));
    buffer b;
    const std::uint8_t junk[3] = {0xde, 0xad, 0x00};
    b.enqueue(junk, sizeof junk);
    const auto req = memory_read_request(debug_region, 24);
    b.enqueue(req.data(), req.size());
    b.advance(sizeof junk);
    EXPECT_EQ(write_buffer(port, b), req.size());
    EXPECT_EQ(read_transfer(port, usb_receive_size).size(), 24u) << "the handset saw a well-formed request";
}

TEST_F(usbport_test, destroying_a_port_closes_its_pipe_not_the_device)
{
    attach();
    const int h = usb_open_vidpid(edl_vidpid, true);
    ASSERT_EQ(h, 0);
    {
        usbport port;
        port.open_pipe(h, download_interface);
        EXPECT_EQ(port.pipe(), 0);
        EXPECT_EQ(read_transfer(port, hello_size).size(), hello_size) << "HELLO";
    }
    usbport next;
    next.open_pipe(h, download_interface);
    EXPECT_EQ(next.pipe(), 0) << "the first pipe was freed";
    EXPECT_EQ(next.product(), "QUSB__BULK") << "the device is still open";
    next.set_timeout(1000);
    const auto resp = hello_response(mode_memory_debug);
    next.write(resp.data(), resp.size());
    EXPECT_EQ(read_transfer(next, hello_size).size(), memory_debug_size) << "the new pipe talks to the handset";
}

TEST_F(usbport_test, closed_device_leaves_no_stale_pipe_behind)
{
    attach();
    usbport first;
    first.open_vidpid(edl_vidpid, true);
    first.open_pipe(first.handle(), download_interface);
    first.close();
    EXPECT_EQ(first.handle(), -1);
    EXPECT_EQ(first.pipe(), -1);

    // Someone else now gets the same slot and pipe numbers.
    const int h = usb_open_vidpid(edl_vidpid, true);
    ASSERT_EQ(h, 0);
    const int p = usb_open_pipe(h, download_interface);
    ASSERT_EQ(p, 0);
    first.close_pipe();
    std::uint32_t ms = 0;
    EXPECT_TRUE(usb_get_timeout(h, p, &ms)) << "the old port must not close the new owner's pipe";
}

TEST_F(usbport_test, reopening_a_pipe_releases_the_previous_one)
{
    attach();
    const int h = usb_open_vidpid(edl_vidpid, true);
    usbport port;
    port.open_pipe(h, download_interface);
    port.open_pipe(h, download_interface);
    EXPECT_EQ(port.pipe(), 0) << "pipe 0 was closed before the new one was opened";
    std::uint32_t ms = 0;
    EXPECT_FALSE(usb_get_timeout(h, 1, &ms));
}

TEST_F(usbport_test, strings_and_drain)
{
    auto opts = debug_options();
    opts.serial = "SN-7";
    opts.manufacturer = "Brenvik Labs";
    attach(opts);
    usbport port;
    ASSERT_NO_FATAL_FAILURE(prepare(port));
    EXPECT_EQ(port.manufacturer(), "Brenvik Labs");
    EXPECT_EQ(port.product(), "QUSB__BULK");
    EXPECT_EQ(port.serial(), "SN-7");

    ask(port, 9000);
    port.set_timeout(100);
    drain(port);
    EXPECT_THROW(read_transfer(port, usb_receive_size), std::runtime_error);

    usbport unopened;
    EXPECT_THROW(unopened.serial(), std::runtime_error);
    EXPECT_NO_THROW(drain(unopened));
}

} // namespace
