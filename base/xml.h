// The libxml2 pieces every reader of XML here needs: an owner for a parsed
// document, parsing without network access or messages on stderr, and the
// lookups the readers make (an element by name among the top-level nodes,
// attributes, an element's text as sent).
#pragma once

#include "buffer.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include <libxml/tree.h>

// Owner of one parsed document.
class xml_document {
public:
    xml_document() = default;
    explicit xml_document(xmlDocPtr doc) : doc_(doc) {}
    xmlDocPtr get() const { return doc_.get(); }
    explicit operator bool() const { return doc_ != nullptr; }

private:
    struct free_doc {
        void operator()(xmlDocPtr doc) const { xmlFreeDoc(doc); }
    };
    std::unique_ptr<xmlDoc, free_doc> doc_;
};

// Parses size bytes of text, or the file at path: no network, no entity
// substitution, libxml2's own complaints kept off stderr (a bad document is
// the caller's error to report). Empty when the text is not well-formed XML
// (or larger than libxml2 takes, 2 GiB), or when the file cannot be read.
xml_document read_xml(const void* text, std::size_t size);
xml_document read_xml_file(const std::string& path);

// Whether the document has a DTD, internal or external: where entities are
// declared. Readers refuse them, since a nest of entities can take minutes to
// expand.
bool declares_dtd(const xml_document& doc);

// read_xml for files that never have a DTD: a document that declares one
// throws std::runtime_error "<what> declares a DTD or entities, which program
// files never have" (its entities would be expanded here but reach a
// programmer unexpanded). Empty when the bytes are not XML.
xml_document parse_xml(const buffer& bytes, const std::string& what = "The XML file");

// Whether the node is an element of that name.
bool is_xml_element(const xmlNode* node, const char* name);

// Among the root element and its following siblings, the first element so
// named; null when none (or when the document is empty).
xmlNode* find_top_element(const xml_document& doc, const char* name);

// The attribute's whole text; std::nullopt when the element does not have it.
std::optional<std::string> find_xml_attribute(const xmlNode* node, const char* name);

// The attribute's whole text; "" when the attribute is missing.
std::string xml_attribute(const xmlNode* node, const char* name);

// The element's XML text as it is forwarded to a programmer: the element with
// its attributes and content, no declaration, no added formatting.
std::string element_text(xmlNode* node);
