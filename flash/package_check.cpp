#include "package_check.h"

#include "buffer.h"
#include "decimal_text.h"
#include "folder_source.h"
#include "key_values.h"
#include "memory_type.h"
#include "program_list.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <utility>

namespace fs = std::filesystem;

namespace {

constexpr const char* params_member = "meta/params.txt";

// An XML member of the folder, as read and as parsed.
struct xml_member {
    buffer bytes;
    xml_document doc;
};

class folder_check {
public:
    explicit folder_check(fs::path dir) : dir_(std::move(dir)) {}

    std::vector<std::string> run()
    {
        std::error_code ec;
        if (!fs::is_directory(dir_, ec)) {
            problem(dir_.string() + " is not a folder");
            return problems_;
        }
        if (!read_params())
            return problems_;
        const auto memory_type = setting("device_memory_type", "the handset's storage: emmc or ufs");
        if (memory_type && parse_memory_type(*memory_type) == 0)
            problem(std::string(params_member) + ": device_memory_type=" + *memory_type + " is neither emmc nor ufs");
        std::uint32_t sector_size = 0;
        if (const auto text = setting("device_sector_size", "bytes per sector, such as 512 or 4096")) {
            sector_size = decimal_text_value(text->c_str());
            // Negative text counts as unset, as it does when the package is read.
            if (static_cast<std::int32_t>(sector_size) <= 0) {
                sector_size = 0;
                problem(std::string(params_member) + ": device_sector_size=" + *text + " is not a number of bytes");
            }
        }
        if (const auto name = setting("firehose_filename", "the programmer"))
            check_programmer(*name);
        if (const auto name = setting("program_filename", "the program file"))
            check_program_file(*name, sector_size);
        if (const auto name = setting("patch_filename", "the patch file"))
            check_patch_file(*name);
        return problems_;
    }

private:
    void problem(std::string text) { problems_.push_back(std::move(text)); }

    // Where a member name points inside the folder; nothing for a name no
    // member of a package built from the folder can have.
    std::optional<fs::path> member_path(const std::string& name) const
    {
        const fs::path relative(name);
        if (name.empty() || relative.is_absolute())
            return std::nullopt;
        for (const fs::path& part : relative)
            if (part == "..")
                return std::nullopt;
        return dir_ / relative;
    }

    // The member's size when the folder holds it as a regular file.
    std::optional<std::uint64_t> member_size(const std::string& name) const
    {
        const auto path = member_path(name);
        std::error_code ec;
        if (!path || !fs::is_regular_file(*path, ec))
            return std::nullopt;
        const std::uintmax_t size = fs::file_size(*path, ec);
        if (ec)
            return std::nullopt;
        return size;
    }

    std::optional<std::string> read_member(const std::string& name) const
    {
        if (!member_size(name))
            return std::nullopt;
        std::ifstream in(*member_path(name), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad())
            return std::nullopt;
        return text;
    }

    bool read_params()
    {
        const auto text = read_member(params_member);
        if (!text) {
            problem(std::string(params_member) +
                    " is missing: it names the programmer, the program and patch files and the handset's storage");
            return false;
        }
        try {
            params_ = parse_key_values(*text);
        } catch (const std::runtime_error& e) {
            problem(std::string(params_member) + ": " + e.what());
            return false;
        }
        return true;
    }

    // A key the flash needs, when it has a usable value.
    std::optional<std::string> setting(const char* key, const char* meaning)
    {
        const auto it = params_.find(key);
        if (it == params_.end() || it->second.empty()) {
            problem(std::string(params_member) + " has no " + key + " (" + meaning + ")");
            return std::nullopt;
        }
        // The reader keeps every byte up to the line feed, so a CR makes the
        // value name nothing.
        if (it->second.back() == '\r') {
            problem(std::string(params_member) + ": the value of " + key +
                    " ends with a carriage return; save the file with LF line ends");
            return std::nullopt;
        }
        return it->second;
    }

    void check_programmer(const std::string& name)
    {
        const auto path = member_path(name);
        std::error_code ec;
        if (!path || !fs::is_regular_file(*path, ec)) {
            problem(name + " (firehose_filename, the programmer) is not in the folder");
            return;
        }
        if (!is_elf_file(path->string()))
            problem(name + " (firehose_filename, the programmer) is not an ELF file; the handset runs only ELF programmers");
    }

    // The document (empty when it is not XML), or nothing after reporting why
    // the flash could not use it.
    std::optional<xml_member> read_xml_member(const std::string& name, const char* key)
    {
        const auto text = read_member(name);
        if (!text) {
            problem(name + " (" + key + ") is not in the folder");
            return std::nullopt;
        }
        xml_member member;
        member.bytes.enqueue(text->data(), text->size());
        try {
            member.doc = parse_xml(member.bytes, "it");
        } catch (const std::runtime_error& e) {
            problem(name + " (" + key + ") would stop the flash: " + e.what());
            return std::nullopt;
        }
        return member;
    }

    void check_program_file(const std::string& name, std::uint32_t sector_size)
    {
        const auto xml = read_xml_member(name, "program_filename");
        if (!xml)
            return;
        xmlNode* data = find_top_element(xml->doc, "data");
        if (data == nullptr) {
            problem(name + " (program_filename) is not a program file: " +
                    (xml->doc ? "it has no <data> element" : "it is not XML"));
            return;
        }

        // Images in document order, each with the partitions it is written to.
        std::vector<std::pair<std::string, std::vector<std::string>>> missing;
        for (xmlNode* node = data->children; node != nullptr; node = node->next) {
            if (!is_xml_element(node, "program"))
                continue;
            const std::string image = xml_attribute(node, "filename");
            if (image.empty())
                continue;
            const std::string label = xml_attribute(node, "label");
            const auto size = member_size(image);
            if (!size) {
                auto it = missing.begin();
                while (it != missing.end() && it->first != image)
                    ++it;
                if (it == missing.end())
                    it = missing.insert(it, {image, {}});
                it->second.push_back(label);
                continue;
            }
            // num_partition_sectors="0" is a partition that grows to the end of the disk.
            const std::uint64_t room = partition_bytes(node);
            if (room != 0 && *size > room)
                problem(image + " (" + std::to_string(*size) + " bytes) is larger than its partition " + label + " (" +
                        std::to_string(room) + " bytes)");
        }
        for (const auto& [image, labels] : missing) {
            std::string partitions;
            for (const std::string& label : labels)
                partitions += (partitions.empty() ? "" : ", ") + label;
            problem(image + " (image of " + partitions + " in " + name + ") is not in the folder");
        }

        // The flash's own rules for the elements (labels, sector size, 32-bit
        // image sizes); without a sector size there is nothing to hold them to.
        if (sector_size == 0)
            return;
        try {
            read_program_list(xml->bytes, sector_size, full);
        } catch (const std::runtime_error& e) {
            problem(name + " (program_filename) would stop the flash: " + e.what());
        }
    }

    void check_patch_file(const std::string& name)
    {
        const auto xml = read_xml_member(name, "patch_filename");
        if (!xml)
            return;
        if (find_top_element(xml->doc, "patches") == nullptr) {
            problem(name + " (patch_filename) is not a patch file: " +
                    (xml->doc ? "it has no <patches> element" : "it is not XML"));
            return;
        }
        try {
            read_patch_list(xml->bytes);
        } catch (const std::runtime_error& e) {
            problem(name + " (patch_filename) would stop the flash: " + e.what());
        }
    }

    fs::path dir_;
    key_value_map params_;
    std::vector<std::string> problems_;
};

} // namespace

std::vector<std::string> check_package_folder(const std::string& dir)
{
    return folder_check(dir).run();
}
