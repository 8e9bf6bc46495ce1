#include "xml.h"

#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>

#include <libxml/parser.h>

namespace {

constexpr int parse_options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
constexpr int dump_level = 0;
constexpr int dump_unformatted = 0;

} // namespace

xml_document read_xml(const void* text, std::size_t size)
{
    if (size > static_cast<std::size_t>(INT_MAX))
        return xml_document();
    return xml_document(xmlReadMemory(static_cast<const char*>(text), static_cast<int>(size), nullptr, nullptr,
                                      parse_options));
}

xml_document read_xml_file(const std::string& path)
{
    return xml_document(xmlReadFile(path.c_str(), nullptr, parse_options));
}

bool declares_dtd(const xml_document& doc)
{
    return doc && (doc.get()->intSubset != nullptr || doc.get()->extSubset != nullptr);
}

xml_document parse_xml(const buffer& bytes, const std::string& what)
{
    xml_document doc = read_xml(bytes.c_ptr(), static_cast<std::size_t>(bytes.size()));
    if (declares_dtd(doc))
        throw std::runtime_error(what + " declares a DTD or entities, which program files never have");
    return doc;
}

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

std::optional<std::string> find_xml_attribute(const xmlNode* node, const char* name)
{
    const std::unique_ptr<xmlChar, void (*)(void*)> value(xmlGetProp(node, reinterpret_cast<const xmlChar*>(name)),
                                                          [](void* p) { xmlFree(p); });
    if (!value)
        return std::nullopt;
    return std::string(reinterpret_cast<const char*>(value.get()));
}

std::string xml_attribute(const xmlNode* node, const char* name)
{
    return find_xml_attribute(node, name).value_or(std::string());
}

std::string element_text(xmlNode* node)
{
    std::unique_ptr<xmlBuffer, decltype(&xmlBufferFree)> out(xmlBufferCreate(), xmlBufferFree);
    if (!out)
        throw std::bad_alloc();
    xmlNodeDump(out.get(), node->doc, node, dump_level, dump_unformatted);
    return std::string(reinterpret_cast<const char*>(xmlBufferContent(out.get())));
}
