// The package's program XML (partitions and their images) and patch XML
// (partition-table fixes), parsed into the working lists of a flash. The lists
// point into the parsed documents, which the lists own, so they stay valid for
// as long as the list object lives.
#pragma once

#include "buffer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// Parses the bytes (no URL, no encoding, default options); empty when they are
// not XML.
xml_document parse_xml(const buffer& bytes);

// The attribute's text; "" when the attribute is missing.
std::string xml_attribute(const xmlNode* node, const char* name);

// The element's XML text as it is forwarded to the programmer: the element with
// its attributes and content, no declaration, no added formatting.
std::string element_text(xmlNode* node);

struct program_list {
    xml_document document;
    std::vector<xmlNode*> base;  // base partitions with an image, in document order
    std::vector<xmlNode*> os;    // OS partitions with an image that the flash type writes
};

// Examines every "program" element before anything is written. Skips (and logs
// "Ignoring <label>: no file" / "... zero sectors") elements that write
// nothing, and leaves "userdata" out for keep_data. Throws std::runtime_error:
// "Cannot find program data" (not XML, or no "data" root), "no label",
// "Bad sector size", "file_sector_offset is not zero", and "Partition too large:
// <label>" for an element the flash would write whose size reaches 4 GiB
// (the programmer takes one image of at most 32-bit length per partition).
program_list read_program_list(const buffer& xml, std::uint32_t sector_size, std::uint32_t type);

struct patch_list {
    xml_document document;
    std::vector<xmlNode*> patches;  // the "DISK" patches, in document order
};

// Throws "Cannot find patch data" (not XML, or no "patches" root) and
// "patch has no filename"; logs "Not DISK patch, skipping" for the others.
patch_list read_patch_list(const buffer& xml);

// Bytes of a partition: num_partition_sectors x SECTOR_SIZE_IN_BYTES, both read
// as 32-bit unsigned numbers, multiplied in 64 bits.
std::uint64_t partition_bytes(const xmlNode* program);
