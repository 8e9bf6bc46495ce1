// What a host sees before moving data: enumeration, descriptors, strings,
// endpoint 0 and the interface claim rules.
#include "test_support.h"

#include <set>
#include <thread>

using namespace vhandset_test;

namespace {

struct device_list {
    explicit device_list(libusb_context* ctx) { count = libusb_get_device_list(ctx, &list); }
    ~device_list()
    {
        if (count >= 0)
            libusb_free_device_list(list, 1);
    }
    libusb_device** list = nullptr;
    ssize_t count = 0;
};

std::string ascii_string(libusb_device_handle* h, std::uint8_t index)
{
    unsigned char text[256] = {};
    const int n = libusb_get_string_descriptor_ascii(h, index, text, sizeof text);
    return n < 0 ? "error " + std::to_string(n) : std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(n));
}

} // namespace

TEST_F(usb_test, EnumerationFollowsHandsetsOnTheBus)
{
    {
        device_list none(ctx);
        EXPECT_EQ(none.count, 0);
        EXPECT_EQ(libusb_open_device_with_vid_pid(ctx, 0x05c6, 0x9008), nullptr);
    }
    auto first = plug(idle_firmware);
    auto second = plug(idle_firmware);
    {
        device_list two(ctx);
        ASSERT_EQ(two.count, 2);
        std::set<int> ports, addresses;
        for (ssize_t i = 0; i < two.count; ++i) {
            libusb_device_descriptor d{};
            ASSERT_EQ(libusb_get_device_descriptor(two.list[i], &d), 0);
            EXPECT_EQ(d.idVendor, 0x05c6);
            EXPECT_EQ(d.idProduct, 0x9008);
            EXPECT_EQ(libusb_get_bus_number(two.list[i]), first->bus_number());
            std::uint8_t path[8] = {};
            ASSERT_EQ(libusb_get_port_numbers(two.list[i], path, sizeof path), 1);
            EXPECT_EQ(path[0], libusb_get_port_number(two.list[i]));
            ports.insert(libusb_get_port_number(two.list[i]));
            addresses.insert(libusb_get_device_address(two.list[i]));
        }
        EXPECT_EQ(ports.size(), 2u) << "each handset sits on its own port";
        EXPECT_EQ(addresses.size(), 2u) << "each handset has its own address";
        EXPECT_TRUE(ports.count(second->port_number()));
        EXPECT_EQ(vhandset::attached_handsets().size(), 2u);
    }
    vhandset::detach(first);
    EXPECT_FALSE(first->attached());
    device_list one(ctx);
    ASSERT_EQ(one.count, 1);
    EXPECT_EQ(libusb_get_device_address(one.list[0]), second->device_address());
    ASSERT_EQ(vhandset::attached_handsets().size(), 1u);
    EXPECT_EQ(vhandset::attached_handsets()[0], second);
}

// Unplugging joins the handset's firmware while an enumeration on another
// thread may be reaping the same departed handset: the firmware must be
// joined once, and neither side may hang.
TEST_F(usb_test, UnplugWhileAnotherThreadEnumeratesNeverHangs)
{
    std::atomic<bool> stop{false};
    std::thread enumerator([&] {
        while (!stop) {
            device_list l(ctx);
        }
    });
    for (int i = 0; i < 300; ++i)
        vhandset::detach(plug(idle_firmware));
    stop = true;
    enumerator.join();
    EXPECT_TRUE(vhandset::attached_handsets().empty());
}

TEST_F(usb_test, DescriptorsPresentOneVendorInterfaceWithTwoBulkEndpoints)
{
    plug(idle_firmware);
    device_list devs(ctx);
    ASSERT_EQ(devs.count, 1);
    libusb_device* dev = devs.list[0];

    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(dev, &d), 0);
    EXPECT_EQ(d.bcdUSB, 0x0200);
    EXPECT_EQ(d.bDeviceClass, 0);
    EXPECT_EQ(d.bNumConfigurations, 1);
    EXPECT_NE(d.iManufacturer, 0);
    EXPECT_NE(d.iProduct, 0);
    EXPECT_NE(d.iSerialNumber, 0);
    EXPECT_EQ(libusb_get_device_speed(dev), LIBUSB_SPEED_HIGH);

    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(dev, &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    ASSERT_EQ(config->interface[0].num_altsetting, 1);
    const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
    EXPECT_EQ(alt.bInterfaceNumber, 0);
    EXPECT_EQ(alt.bInterfaceClass, 0xff);
    EXPECT_EQ(alt.bInterfaceSubClass, 0xff);
    EXPECT_EQ(alt.bInterfaceProtocol, 0xff);
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x81);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x01);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(alt.endpoint[i].bmAttributes & 0x3, LIBUSB_TRANSFER_TYPE_BULK);
        EXPECT_EQ(alt.endpoint[i].wMaxPacketSize, 512);
    }
    libusb_free_config_descriptor(config);

    ASSERT_EQ(libusb_get_config_descriptor_by_value(dev, 1, &config), 0);
    EXPECT_EQ(config->bConfigurationValue, 1);
    libusb_free_config_descriptor(config);
    EXPECT_EQ(libusb_get_config_descriptor_by_value(dev, 2, &config), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_get_config_descriptor(dev, 1, &config), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_get_max_packet_size(dev, 0x81), 512);
    EXPECT_EQ(libusb_get_max_packet_size(dev, 0x82), LIBUSB_ERROR_NOT_FOUND);
}

TEST_F(usb_test, PacketSizeOptionSetsEndpointsAndSpeed)
{
    vhandset::handset_options opts;
    opts.max_packet = 1024;
    plug(idle_firmware, opts);
    device_list devs(ctx);
    ASSERT_EQ(devs.count, 1);
    EXPECT_EQ(libusb_get_device_speed(devs.list[0]), LIBUSB_SPEED_SUPER);
    EXPECT_EQ(libusb_get_max_packet_size(devs.list[0], 0x01), 1024);

    opts.max_packet = 0;
    EXPECT_THROW(plug(idle_firmware, opts), std::invalid_argument);
    opts.max_packet = 500;
    EXPECT_THROW(plug(idle_firmware, opts), std::invalid_argument);
}

TEST_F(usb_test, TheLinkDecidesUsbVersionSpeedAndSuperSpeedDescriptors)
{
    struct row {
        const char* link;
        std::uint16_t bcd_usb;
        std::uint8_t ep0_size;  // a SuperSpeed device gives it as a power of two
        int speed;
        std::uint16_t max_packet;
        int max_burst;          // -1: no SuperSpeed endpoint companion
    };
    const row rows[] = {
        {"none", 0x0200, 64, LIBUSB_SPEED_HIGH, 512, -1},
        {"usb2", 0x0200, 64, LIBUSB_SPEED_HIGH, 512, -1},
        {"usb3", 0x0300, 9, LIBUSB_SPEED_SUPER, 1024, 15},
    };
    for (const row& r : rows) {
        vhandset::handset_options opts;
        opts.link = r.link;  // max_packet stays 512: SuperSpeed bulk endpoints are 1024 all the same
        auto handset = plug(idle_firmware, opts);
        device_list devs(ctx);
        ASSERT_EQ(devs.count, 1);
        libusb_device* dev = devs.list[0];
        libusb_device_descriptor d{};
        ASSERT_EQ(libusb_get_device_descriptor(dev, &d), 0);
        EXPECT_EQ(d.bcdUSB, r.bcd_usb) << r.link;
        EXPECT_EQ(d.bMaxPacketSize0, r.ep0_size) << r.link;
        EXPECT_EQ(libusb_get_device_speed(dev), r.speed) << r.link;
        EXPECT_EQ(libusb_get_max_packet_size(dev, ep_in), r.max_packet) << r.link;

        libusb_config_descriptor* config = nullptr;
        ASSERT_EQ(libusb_get_active_config_descriptor(dev, &config), 0);
        for (int i = 0; i < 2; ++i) {
            const libusb_endpoint_descriptor& ep = config->interface[0].altsetting[0].endpoint[i];
            EXPECT_EQ(ep.wMaxPacketSize, r.max_packet) << r.link;
            libusb_ss_endpoint_companion_descriptor* companion = nullptr;
            const int found = libusb_get_ss_endpoint_companion_descriptor(ctx, &ep, &companion);
            if (r.max_burst < 0) {
                EXPECT_EQ(found, LIBUSB_ERROR_NOT_FOUND) << r.link;
                continue;
            }
            ASSERT_EQ(found, 0) << r.link;
            EXPECT_EQ(companion->bMaxBurst, r.max_burst);
            libusb_free_ss_endpoint_companion_descriptor(companion);
        }
        libusb_free_config_descriptor(config);

        // A USB 3.0 device describes its SuperSpeed capability in its BOS.
        libusb_device_handle* h = nullptr;
        ASSERT_EQ(libusb_open(dev, &h), 0);
        libusb_bos_descriptor* bos = nullptr;
        const int got = libusb_get_bos_descriptor(h, &bos);
        bool super_capable = false;
        for (std::uint8_t i = 0; got == 0 && i < bos->bNumDeviceCaps; ++i) {
            libusb_ss_usb_device_capability_descriptor* cap = nullptr;
            if (libusb_get_ss_usb_device_capability_descriptor(ctx, bos->dev_capability[i], &cap) == 0) {
                super_capable = (cap->wSpeedSupported & 0x8) != 0;
                libusb_free_ss_usb_device_capability_descriptor(cap);
            }
        }
        EXPECT_EQ(got, r.max_burst < 0 ? LIBUSB_ERROR_PIPE : 0) << r.link;
        EXPECT_EQ(super_capable, r.max_burst >= 0) << r.link;
        libusb_free_bos_descriptor(bos);
        libusb_close(h);
        vhandset::detach(handset);
    }
}

TEST_F(usb_test, StringDescriptorsCarryTheConfiguredTexts)
{
    vhandset::handset_options opts;
    opts.manufacturer = "Maker Z\xc3\xbcrich";  // "Zürich" in UTF-8
    opts.product = "QUSB__BULK";
    opts.serial = "SN12345";
    plug(idle_firmware, opts);
    libusb_device_handle* h = open_claimed();
    ASSERT_NE(h, nullptr);
    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(h), &d), 0);

    EXPECT_EQ(ascii_string(h, d.iManufacturer), "Maker Z?rich") << "non-ASCII characters become '?'";
    EXPECT_EQ(ascii_string(h, d.iProduct), "QUSB__BULK");
    EXPECT_EQ(ascii_string(h, d.iSerialNumber), "SN12345");

    unsigned char raw[255] = {};
    ASSERT_EQ(libusb_get_string_descriptor(h, 0, 0, raw, sizeof raw), 4);
    EXPECT_EQ(raw[2] | raw[3] << 8, 0x0409) << "US English is the one language";
    const int n = libusb_get_string_descriptor(h, d.iManufacturer, 0x0409, raw, sizeof raw);
    ASSERT_EQ(n, 2 + 2 * 12);
    EXPECT_EQ(raw[0], n);
    EXPECT_EQ(raw[1], LIBUSB_DT_STRING);
    EXPECT_EQ(raw[2 + 2 * 7], 0xfc) << "UTF-16LE of U+00FC";
    EXPECT_EQ(raw[3 + 2 * 7], 0x00);

    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 0, raw, sizeof raw), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 9, raw, sizeof raw), LIBUSB_ERROR_PIPE);
    // A short buffer truncates and still terminates.
    unsigned char small[5];
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, d.iProduct, small, sizeof small), 4);
    EXPECT_STREQ(reinterpret_cast<char*>(small), "QUSB");
}

TEST_F(usb_test, DefaultSerialNumbersDifferBetweenHandsets)
{
    plug(idle_firmware);
    plug(idle_firmware);
    device_list devs(ctx);
    ASSERT_EQ(devs.count, 2);
    std::set<std::string> serials;
    for (ssize_t i = 0; i < devs.count; ++i) {
        libusb_device_handle* h = nullptr;
        ASSERT_EQ(libusb_open(devs.list[i], &h), 0);
        const std::string s = ascii_string(h, 3);
        EXPECT_FALSE(s.empty());
        serials.insert(s);
        libusb_close(h);
    }
    EXPECT_EQ(serials.size(), 2u);
}

TEST_F(usb_test, EndpointZeroAnswersStandardRequestsAndStallsTheRest)
{
    plug(idle_firmware);
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, 0x05c6, 0x9008);
    ASSERT_NE(h, nullptr);
    handles.push_back(h);

    unsigned char buf[64] = {0xaa, 0xaa};
    EXPECT_EQ(libusb_control_transfer(h, 0x80, LIBUSB_REQUEST_GET_STATUS, 0, 0, buf, 2, 100), 2);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(libusb_control_transfer(h, 0x82, LIBUSB_REQUEST_GET_STATUS, 0, 0x81, buf, 2, 100), 2);
    EXPECT_EQ(libusb_control_transfer(h, 0x82, LIBUSB_REQUEST_GET_STATUS, 0, 0x83, buf, 2, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, 0x81, LIBUSB_REQUEST_GET_STATUS, 0, 1, buf, 2, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, 0x80, LIBUSB_REQUEST_GET_CONFIGURATION, 0, 0, buf, 1, 100), 1);
    EXPECT_EQ(buf[0], 1) << "the host configured the device on arrival";
    int config = -1;
    EXPECT_EQ(libusb_get_configuration(h, &config), 0);
    EXPECT_EQ(config, 1);

    // The device descriptor, read in part as hosts do first.
    EXPECT_EQ(libusb_get_descriptor(h, LIBUSB_DT_DEVICE, 0, buf, 8), 8);
    EXPECT_EQ(buf[0], 18);
    EXPECT_EQ(buf[7], 64);
    EXPECT_EQ(libusb_get_descriptor(h, LIBUSB_DT_CONFIG, 0, buf, sizeof buf), 32);
    EXPECT_EQ(libusb_get_descriptor(h, LIBUSB_DT_BOS, 0, buf, sizeof buf), LIBUSB_ERROR_PIPE);

    // Class and vendor requests are not understood by this device.
    EXPECT_EQ(libusb_control_transfer(h, 0xc0, 0x01, 0, 0, buf, 4, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, 0x21, 0x22, 0, 0, nullptr, 0, 100), LIBUSB_ERROR_PIPE);

    // Unconfigured, the interface and its endpoints are gone.
    EXPECT_EQ(libusb_set_configuration(h, 0), 0);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_NOT_FOUND);
    libusb_config_descriptor* cfg = nullptr;
    EXPECT_EQ(libusb_get_active_config_descriptor(libusb_get_device(h), &cfg), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_set_configuration(h, 1), 0);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_set_configuration(h, 2), LIBUSB_ERROR_NOT_FOUND);
}

TEST_F(usb_test, InterfaceClaimsAreExclusiveAndRequiredForTransfers)
{
    plug(idle_firmware);
    device_list devs(ctx);
    ASSERT_EQ(devs.count, 1);
    libusb_device_handle* a = nullptr;
    libusb_device_handle* b = nullptr;
    ASSERT_EQ(libusb_open(devs.list[0], &a), 0);
    ASSERT_EQ(libusb_open(devs.list[0], &b), 0);
    handles.push_back(a);
    handles.push_back(b);

    unsigned char buf[16] = {};
    int n = -1;
    EXPECT_EQ(libusb_bulk_transfer(a, ep_out, buf, 4, &n, 100), LIBUSB_ERROR_NOT_FOUND)
        << "endpoints of an unclaimed interface are refused";
    EXPECT_EQ(libusb_claim_interface(a, 1), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_kernel_driver_active(a, 0), 0);
    EXPECT_EQ(libusb_set_auto_detach_kernel_driver(a, 1), 0);
    EXPECT_EQ(libusb_claim_interface(a, 0), 0);
    EXPECT_EQ(libusb_claim_interface(a, 0), 0) << "claiming twice through one handle is harmless";
    EXPECT_EQ(libusb_claim_interface(b, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_bulk_transfer(b, ep_out, buf, 4, &n, 100), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_release_interface(b, 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_set_configuration(a, 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_set_interface_alt_setting(a, 0, 0), 0);
    EXPECT_EQ(libusb_set_interface_alt_setting(a, 0, 1), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_clear_halt(a, ep_in), 0);
    EXPECT_EQ(libusb_bulk_transfer(a, 0x02, buf, 4, &n, 100), LIBUSB_ERROR_NOT_FOUND) << "no such endpoint";
    EXPECT_EQ(libusb_bulk_transfer(a, ep_out, buf, 4, &n, 100), 0);
    EXPECT_EQ(n, 4);

    EXPECT_EQ(libusb_release_interface(a, 0), 0);
    EXPECT_EQ(libusb_claim_interface(b, 0), 0);
    // Closing a handle gives its claim back.
    libusb_close(b);
    forget(b);
    EXPECT_EQ(libusb_claim_interface(a, 0), 0);
}
