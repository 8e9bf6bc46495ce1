#include "model.h"

#include "decimal_text.h"
#include "file.h"
#include "paths.h"
#include "xml.h"

#include <cstdio>
#include <optional>
#include <stdexcept>

namespace {
const char* const models_path_format = "%s/.brv/models.xml";
const char* const firehose_path_format = "%s/.brv/firehose_%s.bin";

const char* const default_memory_type = "emmc";
const char* const default_sector_size = "512";
const char* const default_vidpid_fastboot = "18d1:d00d";
const char* const default_vidpid_diag = "05c6:901d";
const char* const default_vidpid_adb = "05c6:9039";

// Filled by the first lookup that finds models.xml with a model in it.
std::vector<model> user_list;

std::string attribute_or(xmlNode* node, const char* name, const char* fallback)
{
    return find_xml_attribute(node, name).value_or(fallback);
}

// The formatted path, refused rather than cut when it does not fit.
template <typename... Args>
std::string catalogue_path(const char* what, const char* format, Args... args)
{
    char path[path_max_bytes];
    const int n = std::snprintf(path, sizeof path, format, args...);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof path)
        throw std::runtime_error(std::string("Path to ") + what + " too long");
    return path;
}

model model_from_element(xmlNode* node)
{
    const std::optional<std::string> name = find_xml_attribute(node, "name");
    if (!name)
        throw std::runtime_error("Model without name in models.xml");
    model m(*name);
    m.memory_type(attribute_or(node, "memory_type", default_memory_type).c_str());
    m.sector_size(decimal_text_value(attribute_or(node, "sector_size", default_sector_size).c_str()));
    m.set_vidpid(model::fastboot, attribute_or(node, "vidpid_fastboot", default_vidpid_fastboot));
    m.set_vidpid(model::diag, attribute_or(node, "vidpid_diag", default_vidpid_diag));
    m.set_vidpid(model::adb, attribute_or(node, "vidpid_adb", default_vidpid_adb));
    return m;
}

void load_user_models(const std::string& path)
{
    const xml_document doc = read_xml_file(path);
    if (!doc)
        throw std::runtime_error("Failed to parse models.xml");
    // Entities are refused before any attribute is read: a nest of them takes
    // minutes to expand, and a catalogue has no use for them.
    if (declares_dtd(doc))
        throw std::runtime_error("models.xml declares a DTD or entities; remove them");
    xmlNode* models = find_top_element(doc, "models");
    if (models == nullptr)
        throw std::runtime_error("Failed to find models tag in models.xml");
    for (xmlNode* child = models->children; child != nullptr; child = child->next) {
        if (is_xml_element(child, "model"))
            user_list.push_back(model_from_element(child));
    }
}
} // namespace

const std::vector<model>& user_models()
{
    if (!user_list.empty())
        return user_list;
    const std::string path = catalogue_path("models.xml", models_path_format, home_dir().c_str());
    std::uint64_t size = 0;
    if (!stat_size(path, size))
        return user_list;
    load_user_models(path);
    return user_list;
}

void forget_user_models()
{
    user_list.clear();
}

model find_model(const std::string& name)
{
    for (const model& m : user_models()) {
        if (m.name() == name)
            return m;
    }
    for (const model& m : builtin_models()) {
        if (m.name() == name)
            return m;
    }
    throw std::runtime_error("No such model: " + name);
}

bool model_exists(const std::string& name)
{
    try {
        find_model(name);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

buffer model_firehose(const model& m)
{
    // A name with a path separator or a NUL cannot be part of a file name in
    // .brv, so no programmer file can exist for it.
    if (m.name().find_first_of(std::string("/\0", 2)) != std::string::npos)
        throw std::runtime_error("Cannot get firehose");
    const std::string path =
        catalogue_path("firehose file", firehose_path_format, home_dir().c_str(), m.name().c_str());
    std::uint64_t size = 0;
    if (!stat_size(path, size))
        throw std::runtime_error("Cannot get firehose");

    file f;
    f.open_existing(path, true);
    buffer content;
    content.resize(f.size());
    std::uint64_t done = 0;
    while (done < content.size()) {
        const std::uint64_t n = f.read(content.c_ptr() + done, content.size() - done);
        if (n == 0)
            throw std::runtime_error("Cannot get firehose");
        done += n;
    }
    return content;
}
