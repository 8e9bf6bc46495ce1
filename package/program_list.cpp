#include "program_list.h"

#include "decimal_text.h"  // the catalogue's atoi-like reader
#include "fwpkg.h"
#include "log.h"
#include "partition_rules.h"

#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

#include <libxml/parser.h>

namespace {

constexpr std::uint64_t largest_image = UINT32_MAX;  // bytes the programmer takes in one image
constexpr int dump_level = 0;
constexpr int dump_unformatted = 0;
constexpr const char* disk_patch = "DISK";

bool is_element(const xmlNode* node, const char* name)
{
    return node->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

// Among the root element and its following siblings, the first element so named.
xmlNode* find_top_element(const xml_document& doc, const char* name)
{
    if (!doc)
        return nullptr;
    for (xmlNode* node = xmlDocGetRootElement(doc.get()); node != nullptr; node = node->next)
        if (is_element(node, name))
            return node;
    return nullptr;
}

std::uint32_t number_attribute(const xmlNode* node, const char* name)
{
    // Negative text wraps to a huge count, which the size rule then refuses.
    return decimal_text_value(xml_attribute(node, name).c_str());
}

} // namespace

xml_document parse_xml(const buffer& bytes)
{
    if (bytes.size() > static_cast<std::uint64_t>(INT_MAX))
        return xml_document();
    return xml_document(xmlReadMemory(reinterpret_cast<const char*>(bytes.c_ptr()),
                                      static_cast<int>(bytes.size()), nullptr, nullptr, 0));
}

std::string xml_attribute(const xmlNode* node, const char* name)
{
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    if (value == nullptr)
        return std::string();
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

std::string element_text(xmlNode* node)
{
    std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> out(xmlBufferCreate(), xmlBufferFree);
    if (!out)
        throw std::bad_alloc();
    xmlNodeDump(out.get(), node->doc, node, dump_level, dump_unformatted);
    return std::string(reinterpret_cast<const char*>(xmlBufferContent(out.get())));
}

std::uint64_t partition_bytes(const xmlNode* program)
{
    return static_cast<std::uint64_t>(number_attribute(program, "num_partition_sectors")) *
           number_attribute(program, "SECTOR_SIZE_IN_BYTES");
}

program_list read_program_list(const buffer& xml, std::uint32_t sector_size, std::uint32_t type)
{
    program_list list;
    list.document = parse_xml(xml);
    xmlNode* data = find_top_element(list.document, "data");
    if (data == nullptr)
        throw std::runtime_error("Cannot find program data");

    for (xmlNode* node = data->children; node != nullptr; node = node->next) {
        if (!is_element(node, "program"))
            continue;
        const std::string label = xml_attribute(node, "label");
        if (label.empty())
            throw std::runtime_error("no label");
        if (number_attribute(node, "SECTOR_SIZE_IN_BYTES") != sector_size)
            throw std::runtime_error("Bad sector size");
        if (number_attribute(node, "file_sector_offset") != 0)
            throw std::runtime_error("file_sector_offset is not zero");
        if (xml_attribute(node, "filename").empty()) {
            log_info("Ignoring %s: no file\n", label.c_str());
            continue;
        }
        if (number_attribute(node, "num_partition_sectors") == 0) {
            log_info("Ignoring %s: zero sectors\n", label.c_str());
            continue;
        }

        std::vector<xmlNode*>* target = nullptr;
        if (is_base_partition(label))
            target = &list.base;
        else if (!(type == keep_data && label == "userdata"))
            target = &list.os;
        if (target == nullptr)
            continue;
        const bool written = target == &list.base || type != base_only;
        if (written && partition_bytes(node) > largest_image)
            throw std::runtime_error("Partition too large: " + label);
        target->push_back(node);
    }
    return list;
}

patch_list read_patch_list(const buffer& xml)
{
    patch_list list;
    list.document = parse_xml(xml);
    xmlNode* patches = find_top_element(list.document, "patches");
    if (patches == nullptr)
        throw std::runtime_error("Cannot find patch data");

    for (xmlNode* node = patches->children; node != nullptr; node = node->next) {
        if (!is_element(node, "patch"))
            continue;
        const std::string filename = xml_attribute(node, "filename");
        if (filename.empty())
            throw std::runtime_error("patch has no filename");
        if (filename != disk_patch) {
            log_info("Not DISK patch, skipping\n");
            continue;
        }
        list.patches.push_back(node);
    }
    return list;
}
