#include "program_list.h"

#include "firehose.h"
#include "log.h"
#include "partition_rules.h"

#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

#include <libxml/parser.h>

namespace {

constexpr std::uint64_t largest_sector_count = UINT32_MAX;  // the programmer's sector counts are 32-bit
constexpr int dump_level = 0;
constexpr int dump_unformatted = 0;
constexpr const char* disk_patch = "DISK";
constexpr char from_end_prefix[] = "NUM_DISK_SECTORS-";
// No network, and libxml2's own complaints stay off stderr: a bad document is
// our error to report.
constexpr int parse_options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;


// Digits only, at most 2^64 - 1. Anything else (a sign, hexadecimal, blanks)
// is refused: read the C way, "0x200" would silently become 0.
bool plain_decimal(const std::string& text, std::uint64_t* value)
{
    if (text.empty() || text.size() > 20)
        return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

// A numeric attribute of an element; a missing one reads as 0.
class numbers {
public:
    numbers(const xmlNode* node, std::string owner) : node_(node), owner_(std::move(owner)) {}

    std::uint64_t get(const char* name) const
    {
        const std::string text = xml_attribute(node_, name);
        // Missing or empty reads as 0, as the files' own tools treat it.
        if (text.empty())
            return 0;
        std::uint64_t v = 0;
        if (!plain_decimal(text, &v))
            fail(name, text);
        return v;
    }
    std::uint32_t get32(const char* name) const
    {
        const std::uint64_t v = get(name);
        if (v > UINT32_MAX)
            fail(name, xml_attribute(node_, name));
        return static_cast<std::uint32_t>(v);
    }
    sector_position start(const char* name) const
    {
        std::string text = xml_attribute(node_, name);
        sector_position p;
        if (text.empty())
            return p;
        if (text.rfind(from_end_prefix, 0) == 0) {
            p.from_end = true;
            text.erase(0, sizeof from_end_prefix - 1);
            if (!text.empty() && text.back() == '.')
                text.pop_back();
        }
        if (!plain_decimal(text, &p.value))
            fail(name, xml_attribute(node_, name));
        return p;
    }

private:
    [[noreturn]] void fail(const char* name, const std::string& text) const
    {
        throw std::runtime_error(owner_ + ": " + name + " \"" + text + "\" is not a decimal number");
    }

    const xmlNode* node_;
    std::string owner_;
};

void check_request_length(const std::string& element, const std::string& owner)
{
    if (!firehose::element_fits(element))
        throw std::runtime_error(owner + ": request longer than 1023 characters");
}

} // namespace

bool is_xml_element(const xmlNode* node, const char* name)
{
    return node->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

xmlNode* find_top_element(const xml_document& doc, const char* name)
{
    if (!doc)
        return nullptr;
    for (xmlNode* node = xmlDocGetRootElement(doc.get()); node != nullptr; node = node->next)
        if (is_xml_element(node, name))
            return node;
    return nullptr;
}

bool sector_position::resolve(std::uint64_t disk_sectors, std::uint64_t* sector) const
{
    if (!from_end) {
        *sector = value;
        return true;
    }
    if (value > disk_sectors)
        return false;
    *sector = disk_sectors - value;
    return true;
}

xml_document parse_xml(const buffer& bytes, const std::string& what)
{
    if (bytes.size() > static_cast<std::uint64_t>(INT_MAX))
        return xml_document();
    xml_document doc(xmlReadMemory(reinterpret_cast<const char*>(bytes.c_ptr()), static_cast<int>(bytes.size()),
                                   nullptr, nullptr, parse_options));
    if (doc && (doc.get()->intSubset != nullptr || doc.get()->extSubset != nullptr))
        throw std::runtime_error(what + " declares a DTD or entities, which program files never have");
    return doc;
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
    std::uint64_t sectors = 0;
    std::uint64_t sector_size = 0;
    if (!plain_decimal(xml_attribute(program, "num_partition_sectors"), &sectors) ||
        !plain_decimal(xml_attribute(program, "SECTOR_SIZE_IN_BYTES"), &sector_size) || sectors > UINT32_MAX ||
        sector_size > UINT32_MAX)
        return 0;
    return sectors * sector_size;
}

program_list read_program_list(const buffer& xml, std::uint32_t sector_size, std::uint32_t type)
{
    program_list list;
    list.document = parse_xml(xml, "The program file");
    xmlNode* data = find_top_element(list.document, "data");
    if (data == nullptr)
        throw std::runtime_error("Cannot find program data");

    for (xmlNode* node = data->children; node != nullptr; node = node->next) {
        const bool erase = is_xml_element(node, "erase");
        if (!erase && !is_xml_element(node, "program"))
            continue;
        program_entry entry;
        entry.node = node;
        entry.erase = erase;
        entry.label = xml_attribute(node, "label");
        if (entry.label.empty())
            throw std::runtime_error("no label");
        const numbers number(node, "program " + entry.label);
        if (number.get("SECTOR_SIZE_IN_BYTES") != sector_size)
            throw std::runtime_error("Bad sector size");
        if (number.get("file_sector_offset") != 0)
            throw std::runtime_error("file_sector_offset is not zero");
        entry.sectors = number.get("num_partition_sectors");
        entry.lun = number.get32("physical_partition_number");
        entry.start = number.start("start_sector");
        entry.filename = erase ? std::string() : xml_attribute(node, "filename");
        if (entry.filename.empty() && !erase) {
            log_info("Ignoring %s: no file\n", entry.label.c_str());
            continue;
        }
        if (entry.sectors == 0) {
            log_info("Ignoring %s: zero sectors\n", entry.label.c_str());
            continue;
        }

        std::vector<program_entry>* target = nullptr;
        if (is_base_partition(entry.label))
            target = &list.base;
        else if (!(type == keep_data && entry.label == "userdata"))
            target = &list.os;
        if (target == nullptr)
            continue;
        if (target == &list.os && type == base_only)
            continue;
        if (entry.sectors > largest_sector_count)
            throw std::runtime_error("Partition too large: " + entry.label + " (" + std::to_string(entry.sectors) +
                                     " sectors; the programmer counts at most 4294967295)");
        entry.bytes = entry.sectors * sector_size;
        entry.element = element_text(node);
        check_request_length(entry.element, "program " + entry.label);
        entry.sparse = !erase && xml_attribute(node, "sparse") == "true";
        target->push_back(std::move(entry));
    }
    return list;
}

patch_list read_patch_list(const buffer& xml)
{
    patch_list list;
    list.document = parse_xml(xml, "The patch file");
    xmlNode* patches = find_top_element(list.document, "patches");
    if (patches == nullptr)
        throw std::runtime_error("Cannot find patch data");

    std::size_t index = 0;
    for (xmlNode* node = patches->children; node != nullptr; node = node->next) {
        if (!is_xml_element(node, "patch"))
            continue;
        ++index;
        const std::string filename = xml_attribute(node, "filename");
        if (filename.empty())
            throw std::runtime_error("patch has no filename");
        if (filename != disk_patch) {
            log_info("Not DISK patch, skipping\n");
            continue;
        }
        const std::string owner = "patch " + std::to_string(index);
        const numbers number(node, owner);
        number.get("SECTOR_SIZE_IN_BYTES");
        number.get("byte_offset");
        number.get("size_in_bytes");
        number.get32("physical_partition_number");
        number.start("start_sector");
        std::string element = element_text(node);
        check_request_length(element, owner);
        list.patches.push_back(node);
        list.elements.push_back(std::move(element));
    }
    return list;
}
