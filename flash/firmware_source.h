// What a flash needs from the firmware it writes, wherever that firmware lies:
// the programmer, the program and patch documents, the images they name, and
// the storage they are made for. A .brp package is one such source.
//
// Reads happen on the flash's thread. Failures throw std::runtime_error whose
// text names the firmware's own part (member or file) and what is wrong with it.
#pragma once

#include "buffer.h"
#include "byte_source.h"

#include <cstdint>
#include <memory>
#include <string>

class firmware_source {
public:
    virtual ~firmware_source() = default;

    // What the user knows the firmware by: the package's device name, a folder.
    virtual std::string display_name() const = 0;
    // memory_emmc or memory_ufs, and the bytes per sector the program document
    // is written for.
    virtual std::uint32_t memory_type() const = 0;
    virtual std::uint32_t sector_size() const = 0;

    // The flash programmer (an ELF image) whole.
    virtual buffer programmer() = 0;
    // The program document (root "data") and the patch document (root "patches").
    virtual buffer program_document() = 0;
    virtual buffer patch_document() = 0;

    // The uncompressed size of an image the program document names; throws
    // when the firmware has no such image.
    virtual std::uint64_t image_size(const std::string& name) = 0;
    // A reader of that image from its first byte. Its last piece is handed out
    // only once the image has proved whole (a package member's CRC); a damaged
    // image throws instead of ending early.
    virtual std::unique_ptr<byte_source> open_image(const std::string& name) = 0;
};
