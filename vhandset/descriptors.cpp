#include "descriptors.h"

#include "usb_link.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

namespace vhandset {

namespace {

constexpr std::uint8_t device_length = 18;
constexpr std::uint8_t config_length = 9;
constexpr std::uint8_t interface_length = 9;
constexpr std::uint8_t endpoint_length = 7;
constexpr std::uint8_t qualifier_length = 10;
constexpr std::uint16_t usb_2_0 = 0x0200;
constexpr std::uint16_t usb_3_0 = 0x0300;
constexpr std::uint8_t ep0_packet_size = 64;
constexpr std::uint8_t superspeed_ep0_packet_exponent = 9;  // 2^9 = 512 bytes
constexpr std::uint8_t max_burst = 15;                     // bursts of 16 packets (usb_link.h)
// USB 2.0 extension: link power management; SuperSpeed capability: full, high
// and SuperSpeed, everything works from full speed on, U1/U2 exit latencies.
constexpr std::uint32_t usb2_extension_lpm = 0x2;
constexpr std::uint16_t speeds_full_high_super = 0x000e;
constexpr std::uint8_t lowest_full_function_speed = 1;
constexpr std::uint8_t u1_exit_latency_us = 10;
constexpr std::uint16_t u2_exit_latency_us = 2047;
constexpr std::uint8_t vendor_specific = 0xff;
constexpr std::uint8_t attributes_bus_powered = 0x80;  // bit 7 is reserved and always set
constexpr std::uint8_t max_power_2ma_units = 50;        // 100 mA
constexpr std::uint8_t max_power_8ma_units = 12;        // 96 mA: SuperSpeed counts in 8 mA units
constexpr std::uint8_t bulk_attributes = LIBUSB_TRANSFER_TYPE_BULK;
constexpr std::size_t max_descriptor_length = 255;
constexpr char32_t replacement_char = 0xfffd;

void put16(bytes& b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v & 0xff));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(bytes& b, std::uint32_t v)
{
    put16(b, static_cast<std::uint16_t>(v & 0xffff));
    put16(b, static_cast<std::uint16_t>(v >> 16));
}

bytes binary_object_store()
{
    bytes b = {LIBUSB_DT_BOS_SIZE, LIBUSB_DT_BOS};
    put16(b, LIBUSB_DT_BOS_SIZE + LIBUSB_BT_USB_2_0_EXTENSION_SIZE + LIBUSB_BT_SS_USB_DEVICE_CAPABILITY_SIZE);
    b.push_back(2);
    b.insert(b.end(), {LIBUSB_BT_USB_2_0_EXTENSION_SIZE, LIBUSB_DT_DEVICE_CAPABILITY, LIBUSB_BT_USB_2_0_EXTENSION});
    put32(b, usb2_extension_lpm);
    b.insert(b.end(), {LIBUSB_BT_SS_USB_DEVICE_CAPABILITY_SIZE, LIBUSB_DT_DEVICE_CAPABILITY,
                       LIBUSB_BT_SS_USB_DEVICE_CAPABILITY, 0});
    put16(b, speeds_full_high_super);
    b.insert(b.end(), {lowest_full_function_speed, u1_exit_latency_us});
    put16(b, u2_exit_latency_us);
    return b;
}

std::uint16_t get16(const bytes& b, std::size_t at)
{
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

libusb_speed speed_for(unsigned max_packet)
{
    switch (max_packet) {
    case 8: case 16: case 32: case 64:
        return LIBUSB_SPEED_FULL;
    case 512:
        return LIBUSB_SPEED_HIGH;
    case 1024:
        return LIBUSB_SPEED_SUPER;
    default:
        throw std::invalid_argument("bulk endpoints cannot have a max packet size of " + std::to_string(max_packet) +
                                    " (8, 16, 32, 64, 512 or 1024)");
    }
}

// Decodes UTF-8, replacing malformed sequences rather than failing: a string
// descriptor must always be produced.
std::u32string decode_utf8(const std::string& s)
{
    std::u32string out;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto lead = static_cast<unsigned char>(s[i]);
        unsigned extra = 0;
        if (lead < 0x80)
            extra = 0;
        else if ((lead & 0xe0) == 0xc0)
            extra = 1;
        else if ((lead & 0xf0) == 0xe0)
            extra = 2;
        else if ((lead & 0xf8) == 0xf0)
            extra = 3;
        else
            extra = 4;  // not a lead byte
        bool ok = extra < 4 && i + extra < s.size();
        char32_t cp = ok ? static_cast<char32_t>(lead & (0x7f >> extra)) : 0;
        for (unsigned k = 1; ok && k <= extra; ++k) {
            const auto cont = static_cast<unsigned char>(s[i + k]);
            ok = (cont & 0xc0) == 0x80;
            cp = (cp << 6) | (cont & 0x3f);
        }
        out.push_back(ok ? cp : replacement_char);
        i += ok ? extra + 1 : 1;
    }
    return out;
}

struct config_block {
    bytes raw;  // what the endpoints' `extra` point into
    libusb_config_descriptor config{};
    std::vector<libusb_interface> interfaces;
    std::vector<std::vector<libusb_interface_descriptor>> alt_settings;
    std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
};

// parse_config() hands out pointers to the first member of a block; the block
// itself is found again here when libusb_free_config_descriptor() is called.
std::mutex config_mutex;
std::map<const libusb_config_descriptor*, std::unique_ptr<config_block>> config_blocks;

} // namespace

bytes string_descriptor(const std::string& utf8)
{
    bytes b{0, LIBUSB_DT_STRING};
    for (char32_t cp : decode_utf8(utf8)) {
        bytes unit;
        if (cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            cp = replacement_char;
        if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            put16(unit, static_cast<std::uint16_t>(0xd800 + (v >> 10)));
            put16(unit, static_cast<std::uint16_t>(0xdc00 + (v & 0x3ff)));
        } else {
            put16(unit, static_cast<std::uint16_t>(cp));
        }
        if (b.size() + unit.size() > max_descriptor_length)
            break;
        b.insert(b.end(), unit.begin(), unit.end());
    }
    b[0] = static_cast<std::uint8_t>(b.size());
    return b;
}

descriptor_set make_descriptors(const handset_options& opts, const std::string& serial)
{
    descriptor_set d;
    d.speed = speed_for(opts.max_packet);
    const auto mps = static_cast<std::uint16_t>(opts.max_packet);
    const bool ss = superspeed(opts);
    const std::uint8_t companion_length = ss ? LIBUSB_DT_SS_ENDPOINT_COMPANION_SIZE : 0;

    d.device = {device_length, LIBUSB_DT_DEVICE};
    put16(d.device, ss ? usb_3_0 : usb_2_0);
    // Class defined per interface.
    d.device.insert(d.device.end(), {0, 0, 0, ss ? superspeed_ep0_packet_exponent : ep0_packet_size});
    put16(d.device, opts.vendor_id);
    put16(d.device, opts.product_id);
    put16(d.device, 0x0000);  // bcdDevice
    d.device.insert(d.device.end(), {manufacturer_index, product_index, serial_index, 1});

    bytes& c = d.configuration;
    c = {config_length, LIBUSB_DT_CONFIG};
    put16(c, config_length + interface_length + 2 * (endpoint_length + companion_length));
    c.insert(c.end(), {1, configuration_value, 0, attributes_bus_powered, ss ? max_power_8ma_units : max_power_2ma_units});
    c.insert(c.end(), {interface_length, LIBUSB_DT_INTERFACE, download_interface, 0, 2, vendor_specific,
                       vendor_specific, vendor_specific, 0});
    for (std::uint8_t address : {bulk_in_address, bulk_out_address}) {
        c.insert(c.end(), {endpoint_length, LIBUSB_DT_ENDPOINT, address, bulk_attributes});
        put16(c, mps);
        c.push_back(0);  // bInterval: bulk endpoints never NAK-limit here
        if (ss) {
            c.insert(c.end(), {companion_length, LIBUSB_DT_SS_ENDPOINT_COMPANION, max_burst, 0});
            put16(c, 0);  // wBytesPerInterval: periodic endpoints only
        }
    }
    if (ss)
        d.bos = binary_object_store();

    if (d.speed == LIBUSB_SPEED_HIGH) {
        d.qualifier = {qualifier_length, device_qualifier_type};
        put16(d.qualifier, usb_2_0);
        d.qualifier.insert(d.qualifier.end(), {0, 0, 0, ep0_packet_size, 1, 0});
    }

    d.strings.push_back({4, LIBUSB_DT_STRING});
    put16(d.strings[0], language_en_us);
    d.strings.push_back(string_descriptor(opts.manufacturer));
    d.strings.push_back(string_descriptor(opts.product));
    d.strings.push_back(string_descriptor(serial));
    return d;
}

libusb_device_descriptor parse_device_descriptor(const bytes& raw)
{
    libusb_device_descriptor d{};
    if (raw.size() < device_length)
        return d;
    d.bLength = raw[0];
    d.bDescriptorType = raw[1];
    d.bcdUSB = get16(raw, 2);
    d.bDeviceClass = raw[4];
    d.bDeviceSubClass = raw[5];
    d.bDeviceProtocol = raw[6];
    d.bMaxPacketSize0 = raw[7];
    d.idVendor = get16(raw, 8);
    d.idProduct = get16(raw, 10);
    d.bcdDevice = get16(raw, 12);
    d.iManufacturer = raw[14];
    d.iProduct = raw[15];
    d.iSerialNumber = raw[16];
    d.bNumConfigurations = raw[17];
    return d;
}

libusb_config_descriptor* parse_config(const bytes& raw)
{
    if (raw.size() < config_length || raw[1] != LIBUSB_DT_CONFIG || get16(raw, 2) > raw.size())
        return nullptr;
    auto block = std::make_unique<config_block>();
    block->raw = raw;
    libusb_config_descriptor& c = block->config;
    c.bLength = raw[0];
    c.bDescriptorType = raw[1];
    c.wTotalLength = get16(raw, 2);
    c.bNumInterfaces = raw[4];
    c.bConfigurationValue = raw[5];
    c.iConfiguration = raw[6];
    c.bmAttributes = raw[7];
    c.MaxPower = raw[8];

    // Group alternate settings by interface number, endpoints by alternate setting.
    std::map<std::uint8_t, std::size_t> interface_slot;
    std::size_t current_if = SIZE_MAX;
    libusb_endpoint_descriptor* last_endpoint = nullptr;  // owner of the descriptors that follow it
    for (std::size_t at = raw[0]; at + 2 <= c.wTotalLength;) {
        const std::uint8_t len = raw[at];
        if (len < 2 || at + len > c.wTotalLength)
            return nullptr;
        if (raw[at + 1] == LIBUSB_DT_INTERFACE && len >= interface_length) {
            libusb_interface_descriptor id{};
            id.bLength = len;
            id.bDescriptorType = raw[at + 1];
            id.bInterfaceNumber = raw[at + 2];
            id.bAlternateSetting = raw[at + 3];
            id.bNumEndpoints = raw[at + 4];
            id.bInterfaceClass = raw[at + 5];
            id.bInterfaceSubClass = raw[at + 6];
            id.bInterfaceProtocol = raw[at + 7];
            id.iInterface = raw[at + 8];
            auto [slot, fresh] = interface_slot.emplace(id.bInterfaceNumber, block->alt_settings.size());
            if (fresh) {
                block->alt_settings.emplace_back();
                block->endpoints.emplace_back();
            }
            current_if = slot->second;
            block->alt_settings[current_if].push_back(id);
            block->endpoints[current_if].emplace_back();
            last_endpoint = nullptr;
        } else if (raw[at + 1] == LIBUSB_DT_ENDPOINT && len >= endpoint_length && current_if != SIZE_MAX) {
            libusb_endpoint_descriptor ed{};
            ed.bLength = len;
            ed.bDescriptorType = raw[at + 1];
            ed.bEndpointAddress = raw[at + 2];
            ed.bmAttributes = raw[at + 3];
            ed.wMaxPacketSize = get16(raw, at + 4);
            ed.bInterval = raw[at + 6];
            block->endpoints[current_if].back().push_back(ed);
            last_endpoint = &block->endpoints[current_if].back().back();
        } else if (last_endpoint != nullptr) {
            if (last_endpoint->extra == nullptr)
                last_endpoint->extra = block->raw.data() + at;
            last_endpoint->extra_length += len;
        }
        at += len;
    }

    // Vectors are complete: now the pointers into them stay valid.
    for (std::size_t i = 0; i < block->alt_settings.size(); ++i) {
        auto& alts = block->alt_settings[i];
        for (std::size_t a = 0; a < alts.size(); ++a) {
            auto& eps = block->endpoints[i][a];
            alts[a].endpoint = eps.empty() ? nullptr : eps.data();
            alts[a].bNumEndpoints = static_cast<std::uint8_t>(eps.size());
        }
        libusb_interface itf{};
        itf.altsetting = alts.data();
        itf.num_altsetting = static_cast<int>(alts.size());
        block->interfaces.push_back(itf);
    }
    c.bNumInterfaces = static_cast<std::uint8_t>(block->interfaces.size());
    c.interface = block->interfaces.empty() ? nullptr : block->interfaces.data();

    libusb_config_descriptor* handed_out = &block->config;
    std::lock_guard lock(config_mutex);
    config_blocks.emplace(handed_out, std::move(block));
    return handed_out;
}

libusb_bos_descriptor* parse_bos(const bytes& raw)
{
    if (raw.size() < LIBUSB_DT_BOS_SIZE || raw[1] != LIBUSB_DT_BOS || get16(raw, 2) > raw.size())
        return nullptr;
    const std::uint8_t count = raw[4];
    auto* bos = static_cast<libusb_bos_descriptor*>(
        std::calloc(1, sizeof(libusb_bos_descriptor) + count * sizeof(libusb_bos_dev_capability_descriptor*)));
    if (bos == nullptr)
        throw std::bad_alloc();
    std::unique_ptr<libusb_bos_descriptor, decltype(&release_bos)> owned(bos, release_bos);
    bos->bLength = raw[0];
    bos->bDescriptorType = raw[1];
    bos->wTotalLength = get16(raw, 2);
    std::size_t at = raw[0];
    for (std::uint8_t i = 0; i < count; ++i) {
        if (at + 3 > bos->wTotalLength || raw[at] < 3 || at + raw[at] > bos->wTotalLength ||
            raw[at + 1] != LIBUSB_DT_DEVICE_CAPABILITY)
            return nullptr;
        // The capability's bytes as they are: the structure mirrors them.
        auto* cap = static_cast<libusb_bos_dev_capability_descriptor*>(
            std::malloc(sizeof(libusb_bos_dev_capability_descriptor) + raw[at] - 3));
        if (cap == nullptr)
            throw std::bad_alloc();
        std::memcpy(cap, raw.data() + at, raw[at]);
        bos->dev_capability[bos->bNumDeviceCaps++] = cap;
        at += raw[at];
    }
    return owned.release();
}

void release_bos(libusb_bos_descriptor* bos)
{
    if (bos == nullptr)
        return;
    for (std::uint8_t i = 0; i < bos->bNumDeviceCaps; ++i)
        std::free(bos->dev_capability[i]);
    std::free(bos);
}

bool release_config(libusb_config_descriptor* config)
{
    std::unique_ptr<config_block> doomed;
    std::lock_guard lock(config_mutex);
    auto it = config_blocks.find(config);
    if (it == config_blocks.end())
        return false;
    doomed = std::move(it->second);
    config_blocks.erase(it);
    return true;
}

} // namespace vhandset
