#include "firmware_open.h"

#include "brp_source.h"

#include <filesystem>
#include <stdexcept>

bool is_firmware_folder(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

opened_firmware::opened_firmware(const std::string& path, const folder_options& folder)
{
    if (is_firmware_folder(path)) {
        source_ = std::make_unique<folder_source>(path, folder);
        return;
    }
    package_ = std::make_unique<fwpkg>();
    try {
        package_->open(path);
        source_ = std::make_unique<brp_source>(*package_);
    } catch (const std::exception& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

opened_firmware::~opened_firmware() = default;
