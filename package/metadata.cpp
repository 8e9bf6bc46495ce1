#include "fwpkg.h"

#include "decimal_text.h"  // the catalogue's atoi-like reader
#include "key_values.h"
#include "log.h"
#include "model.h"

#include <stdexcept>

namespace {

constexpr const char* params_member = "meta/params.txt";
constexpr const char* image_member = "meta/device.png";
constexpr const char* notes_member = "meta/notes.txt";

// A negative sector size is nonsense that would reach the programmer as a huge
// unsigned number; it counts as unset, so flashing refuses the metadata.
std::uint32_t sector_size_value(const std::string& text)
{
    const std::uint32_t n = decimal_text_value(text.c_str());
    return static_cast<std::int32_t>(n) < 0 ? 0 : n;
}

} // namespace

void fwpkg::load_metadata()
{
    const buffer params = read_file(params_member, 0);
    const key_value_map values =
        parse_key_values(reinterpret_cast<const char*>(params.c_ptr()), params.size());

    for (const auto& [key, value] : values) {
        if (key == "device_code_name")
            device_code_name_ = value;
        else if (key == "device_display_name")
            device_display_name_ = value;
        else if (key == "device_memory_type")
            device_memory_type_ = parse_memory_type(value);
        else if (key == "device_sector_size")
            device_sector_size_ = sector_size_value(value);
        else if (key == "firehose_filename")
            firehose_filename_ = value;
        else if (key == "program_filename")
            program_filename_ = value;
        else if (key == "patch_filename")
            patch_filename_ = value;
    }

    try {
        device_image_ = read_file(image_member, 0);
    } catch (const std::runtime_error&) {
        log_info("Failed to read device image\n");
    }
    try {
        package_notes_ = read_file(notes_member, 0);
    } catch (const std::runtime_error&) {
        log_info("Failed to read notes\n");
    }
}
