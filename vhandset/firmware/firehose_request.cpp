#include "firehose_request.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>

namespace vhandset {

namespace {

struct doc_free {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using doc_ptr = std::unique_ptr<xmlDoc, doc_free>;

std::string as_string(const xmlChar* s)
{
    return s ? reinterpret_cast<const char*>(s) : "";
}

// The text between the root's start tag and its end tag, trimmed, on one line.
std::string element_text(const char* data, std::size_t len)
{
    const std::string all(data, len);
    std::size_t begin = all.find("<data>");
    std::size_t end = all.rfind("</data>");
    if (begin == std::string::npos || end == std::string::npos || end < begin)
        return {};
    begin += 6;
    std::string t = all.substr(begin, end - begin);
    for (char& c : t)
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
    const auto first = t.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    const auto last = t.find_last_not_of(' ');
    return t.substr(first, last - first + 1);
}

} // namespace

std::optional<std::string> firehose_request::attr(const std::string& key) const
{
    const auto it = attrs.find(key);
    if (it == attrs.end())
        return std::nullopt;
    return it->second;
}

std::optional<firehose_request> parse_firehose_request(const char* data, std::size_t len, std::string* why)
{
    constexpr int parse_options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    doc_ptr doc(xmlReadMemory(data, static_cast<int>(len), nullptr, nullptr, parse_options));
    if (!doc) {
        *why = "XML not formed correctly";
        return std::nullopt;
    }
    const xmlNode* root = xmlDocGetRootElement(doc.get());
    if (!root || as_string(root->name) != "data") {
        *why = "root element is not <data>";
        return std::nullopt;
    }
    const xmlNode* el = root->children;
    while (el && el->type != XML_ELEMENT_NODE)
        el = el->next;
    if (!el) {
        *why = "no command element inside <data>";
        return std::nullopt;
    }
    firehose_request r;
    r.name = as_string(el->name);
    for (const xmlAttr* a = el->properties; a; a = a->next) {
        xmlChar* v = xmlNodeListGetString(doc.get(), a->children, 1);
        r.attrs[as_string(a->name)] = as_string(v);
        xmlFree(v);
    }
    r.text = element_text(data, len);
    return r;
}

} // namespace vhandset
