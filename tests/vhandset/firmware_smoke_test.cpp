// The handset with its real firmware, as the host meets it first: the boot
// ROM's HELLO waiting on the IN endpoint.
#include "test_support.h"

using namespace vhandset_test;

TEST_F(usb_test, BootRomHelloWaitsForTheHost)
{
    auto handset = vhandset::attach({}, dir / "rom");
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    unsigned char buf[65536];
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, ep_in, buf, sizeof buf, &n, long_wait_ms), 0);
    ASSERT_EQ(n, 48);
    const unsigned char head[8] = {0x01, 0, 0, 0, 0x30, 0, 0, 0};  // HELLO, length 48
    EXPECT_EQ(bytes(buf, buf + 8), bytes(head, head + 8));
    EXPECT_EQ(handset->state_dir(), dir / "rom");
}
