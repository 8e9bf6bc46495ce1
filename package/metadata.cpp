#include "fwpkg.h"
#include "text_names.h"

#include "decimal_text.h"
#include "key_values.h"
#include "log.h"
#include "memory_type.h"
#include "zip_errors.h"

#include <stdexcept>

namespace {

constexpr const char* params_member = "meta/params.txt";
constexpr const char* image_member = "meta/device.png";
constexpr const char* notes_member = "meta/notes.txt";

// Far above any real text or picture, far below what a lying directory entry
// could make us allocate.
constexpr std::uint64_t text_cap = 1u << 20;
constexpr std::uint64_t image_cap = 16u << 20;

// A negative sector size is nonsense that would reach the programmer as a huge
// unsigned number; it counts as unset, so flashing refuses the metadata.
std::uint32_t sector_size_value(const std::string& text)
{
    const std::uint32_t n = decimal_text_value(text.c_str());
    return static_cast<std::int32_t>(n) < 0 ? 0 : n;
}

// Checked on the directory's word before anything is allocated; a member that
// inflates past its directory entry is stopped by the reader, so memory stays
// within the cap even when the directory lies.
void refuse_oversized(const char* name, std::uint64_t size, std::uint64_t cap)
{
    if (size > cap)
        throw std::runtime_error(member_too_large_text(name, size, cap));
}

} // namespace

void fwpkg::load_metadata()
{
    refuse_oversized(params_member, member_size(params_member), text_cap);
    const buffer params = read_file(params_member, 0);
    try {
        params_ = parse_key_values(reinterpret_cast<const char*>(params.c_ptr()), params.size());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string(params_member) + ": " + e.what());
    }

    for (const auto& [key, value] : params_) {
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

    // A picture or notes beyond its cap refuses the package (nothing real is
    // that large); a missing or damaged one only costs the picture or notes.
    if (names_.count(image_member) != 0)
        refuse_oversized(image_member, member_size(image_member), image_cap);
    if (names_.count(notes_member) != 0)
        refuse_oversized(notes_member, member_size(notes_member), text_cap);
    try {
        device_image_ = read_file(image_member, 0);
    } catch (const std::runtime_error& e) {
        log_info("Failed to read device image\n");
        log_info("%s\n", e.what());
    }
    try {
        package_notes_ = read_file(notes_member, 0);
    } catch (const std::runtime_error& e) {
        log_info("Failed to read notes\n");
        log_info("%s\n", e.what());
    }
}

void fwpkg::check_metadata() const
{
    // Nothing was read from a payload that is no archive: say that, not which
    // key is missing.
    if (is_open() && zip_ == nullptr)
        throw std::runtime_error(archive_problem_);
    struct required {
        const char* key;
        bool usable;
    };
    const required keys[] = {
        {"device_memory_type", device_memory_type_ != 0},
        {"device_sector_size", device_sector_size_ != 0},
        {"firehose_filename", !firehose_filename_.empty()},
        {"program_filename", !program_filename_.empty()},
        {"patch_filename", !patch_filename_.empty()},
    };
    for (const required& r : keys) {
        if (r.usable)
            continue;
        const auto value = params_.find(r.key);
        if (value == params_.end())
            throw std::runtime_error(std::string("fwpkg: invalid metadata: missing ") + r.key + " in " + params_member);
        throw std::runtime_error(std::string("fwpkg: invalid metadata: unusable ") + r.key + "=" +
                                 printable_name(value->second) + " in " + params_member);
    }
}
