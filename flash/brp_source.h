// A .brp package as firmware to flash. Borrows an open fwpkg for its own
// lifetime and marks it busy meanwhile, so a verify cannot overlap the flash.
#pragma once

#include "firmware_source.h"
#include "flash.h"
#include "flash_options.h"
#include "fwpkg.h"
#include "progress.h"

class brp_source : public firmware_source {
public:
    // Throws "Object in use" while the package is being verified, and
    // fwpkg::check_metadata's errors when the package lacks what a flash needs.
    explicit brp_source(fwpkg& package);

    std::string display_name() const override { return package_.device_display_name(); }
    std::uint32_t memory_type() const override { return package_.device_memory_type(); }
    std::uint32_t sector_size() const override { return package_.device_sector_size(); }
    buffer programmer() override;
    buffer program_document() override;
    buffer patch_document() override;
    std::uint64_t image_size(const std::string& name) override { return package_.member_size(name); }
    std::unique_ptr<byte_source> open_image(const std::string& name) override;

private:
    fwpkg& package_;
    guard busy_;
};

// Flashes an open package onto the handset behind device_handle (see
// flash_handset); package.cancel() cancels it (a freshly opened package has
// no request pending). Throws as brp_source and flash_handset.
flash_result flash_package(fwpkg& package, int device_handle, progress_handler& handler, flash_options options);
