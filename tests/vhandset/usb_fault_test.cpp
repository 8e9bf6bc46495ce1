// Faults of the USB model: a kernel driver in the way, lost writes, stalls.
#include "test_support.h"

using namespace vhandset_test;

namespace {

vhandset::handset_options with_fault(const std::string& what, const std::string& kind, unsigned nth = 0)
{
    vhandset::handset_options opts;
    vhandset::fault_rule f;
    f.where = "usb";
    f.what = what;
    f.kind = kind;
    f.nth = nth;
    opts.faults.push_back(f);
    return opts;
}

} // namespace

TEST_F(usb_test, BoundKernelDriverBlocksTheClaimUntilDetached)
{
    plug(idle_firmware, with_fault("driver", "bound"));
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, 0x05c6, 0x9008);
    ASSERT_NE(h, nullptr);
    handles.push_back(h);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 1);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);

    // Automatic detach: the driver leaves for the claim and returns at release.
    ASSERT_EQ(libusb_set_auto_detach_kernel_driver(h, 1), 0);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 0);
    EXPECT_EQ(libusb_attach_kernel_driver(h, 0), LIBUSB_ERROR_BUSY) << "the interface is claimed";
    ASSERT_EQ(libusb_release_interface(h, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 1);

    // Explicit detach: the driver stays away.
    ASSERT_EQ(libusb_set_auto_detach_kernel_driver(h, 0), 0);
    EXPECT_EQ(libusb_detach_kernel_driver(h, 0), 0);
    EXPECT_EQ(libusb_detach_kernel_driver(h, 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_release_interface(h, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 0);
    EXPECT_EQ(libusb_attach_kernel_driver(h, 0), 0);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 1);
}

TEST_F(usb_test, DroppedWriteNeverReachesTheHost)
{
    plug(
        [](vhandset::device_link& link) {
            link.send("first", 5);
            link.send("second", 6);
            idle_firmware(link);
        },
        with_fault("in", "drop", 1));
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    unsigned char buf[512];
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, ep_in, buf, sizeof buf, &n, long_wait_ms), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n)), "second");
}

TEST_F(usb_test, StalledEndpointStaysHaltedUntilCleared)
{
    receipts got;
    plug(
        [&got](vhandset::device_link& link) {
            std::uint8_t buf[64];
            for (;;) {
                const std::size_t n = link.receive(buf, sizeof buf, 0, nullptr);
                got.add(bytes(buf, buf + n));
            }
        },
        with_fault("out", "stall", 2));
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    unsigned char data[3] = {1, 2, 3};
    int n = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, ep_out, data, 3, &n, long_wait_ms), 0);
    EXPECT_EQ(libusb_bulk_transfer(h, ep_out, data, 3, &n, long_wait_ms), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(h, ep_out, data, 3, &n, long_wait_ms), LIBUSB_ERROR_PIPE) << "still halted";
    unsigned char status[2] = {};
    ASSERT_EQ(libusb_control_transfer(h, 0x82, LIBUSB_REQUEST_GET_STATUS, 0, ep_out, status, 2, 100), 2);
    EXPECT_EQ(status[0], 1) << "the endpoint reports its halt";
    ASSERT_EQ(libusb_clear_halt(h, ep_out), 0);
    EXPECT_EQ(libusb_bulk_transfer(h, ep_out, data, 3, &n, long_wait_ms), 0);
    EXPECT_EQ(got.wait_for(2).size(), 2u) << "stalled transfers delivered nothing";
    EXPECT_EQ(got.now().size(), 2u);
}

TEST_F(usb_test, UnknownUsbFaultIsRefused)
{
    EXPECT_THROW(plug(idle_firmware, with_fault("in", "melt")), std::invalid_argument);
}
