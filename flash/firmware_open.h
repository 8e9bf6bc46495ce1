// Firmware as a user names it on a command line: a .brp package or a maker's
// folder, whichever the path is.
#pragma once

#include "folder_source.h"
#include "fwpkg.h"

#include <memory>
#include <string>

// Whether the path names a folder (and so a maker's flat build).
bool is_firmware_folder(const std::string& path);

class opened_firmware {
public:
    // Opens the package (failures read "<path>: <why>"; a package that lacks
    // what a flash needs is refused) or the folder with `folder` (refused as
    // folder_source says).
    opened_firmware(const std::string& path, const folder_options& folder);
    opened_firmware(const opened_firmware&) = delete;
    opened_firmware& operator=(const opened_firmware&) = delete;
    ~opened_firmware();

    firmware_source& source() { return *source_; }
    // The package; null for a folder.
    fwpkg* package() { return package_.get(); }

private:
    std::unique_ptr<fwpkg> package_;  // outlives the source that borrows it
    std::unique_ptr<firmware_source> source_;
};
