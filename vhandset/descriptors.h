// The emulated handset's USB descriptors, as bytes on endpoint 0 and as the
// parsed structures libusb hands out.
#pragma once

#include "handset_options.h"

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vhandset {

using bytes = std::vector<std::uint8_t>;

// Addresses of the emergency-download interface's bulk endpoints.
inline constexpr std::uint8_t bulk_in_address = 0x81;
inline constexpr std::uint8_t bulk_out_address = 0x01;
inline constexpr std::uint8_t download_interface = 0;
inline constexpr std::uint8_t configuration_value = 1;

// Descriptor type of the device qualifier (USB 2.0 table 9-5); libusb.h has no name for it.
inline constexpr std::uint8_t device_qualifier_type = 0x06;

// String descriptor indexes.
inline constexpr std::uint8_t manufacturer_index = 1;
inline constexpr std::uint8_t product_index = 2;
inline constexpr std::uint8_t serial_index = 3;
inline constexpr std::uint16_t language_en_us = 0x0409;

struct descriptor_set {
    bytes device;                 // 18-byte device descriptor
    bytes configuration;          // configuration with its interface and endpoints (and
                                  // their SuperSpeed companions on a usb3 link)
    bytes qualifier;              // device qualifier (high-speed devices only; else empty)
    bytes bos;                    // binary device object store (usb3 link only; else empty)
    std::vector<bytes> strings;   // index 0: supported languages; then manufacturer, product, serial
    libusb_speed speed = LIBUSB_SPEED_HIGH;
};

// Builds the descriptors of a handset with these options (as on_link() gives
// them) and serial number: a USB 2.0 device, or with `--link usb3` a USB 3.0
// SuperSpeed one. Throws std::invalid_argument for a max packet size USB bulk
// endpoints cannot have.
descriptor_set make_descriptors(const handset_options& opts, const std::string& serial);

// The device descriptor's fields in host byte order.
libusb_device_descriptor parse_device_descriptor(const bytes& raw);

// Parses a configuration descriptor bundle into libusb's structure; descriptors
// that follow an endpoint (its SuperSpeed companion) are its `extra` bytes. The
// result is released with release_config(); returns nullptr for malformed bytes.
libusb_config_descriptor* parse_config(const bytes& raw);
// Returns false when `config` did not come from parse_config (nothing is freed).
bool release_config(libusb_config_descriptor* config);

// Parses a BOS descriptor with its capabilities as libusb_get_bos_descriptor()
// hands it out: released with libusb_free_bos_descriptor() (that is,
// release_bos()); nullptr for malformed bytes. Throws std::bad_alloc.
libusb_bos_descriptor* parse_bos(const bytes& raw);
void release_bos(libusb_bos_descriptor* bos);

// UTF-8 text as a string descriptor (UTF-16LE), cut to the 255-byte limit.
bytes string_descriptor(const std::string& utf8);

} // namespace vhandset
