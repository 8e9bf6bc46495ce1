// The package's program XML (partitions and their images) and patch XML
// (partition-table fixes), parsed and checked into the working lists of a flash.
// Every element is examined before anything reaches a handset: a bad number, a
// request too long for the programmer or a document with a DTD stops the flash
// with nothing written. The lists point into the parsed documents, which the
// lists own, so they stay valid for as long as the list object lives.
#pragma once

#include "buffer.h"
#include "flash_type.h"

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

// Parses the bytes (no URL, no encoding, no network); empty when they are not
// XML. A document that declares a DTD or entities throws "<what> declares a DTD
// or entities, which program files never have": its entities would be expanded
// here but reach the programmer unexpanded, and a nest of them can take
// minutes to expand.
xml_document parse_xml(const buffer& bytes, const std::string& what = "The XML file");

// Whether the node is an element of that name.
bool is_xml_element(const xmlNode* node, const char* name);

// Among the root element and its following siblings, the first element so
// named (where the flash looks for "data" and "patches"); null when none.
xmlNode* find_top_element(const xml_document& doc, const char* name);

// The attribute's text; "" when the attribute is missing.
std::string xml_attribute(const xmlNode* node, const char* name);

// The element's XML text as it is forwarded to the programmer: the element with
// its attributes and content, no declaration, no added formatting.
std::string element_text(xmlNode* node);

// A start sector as program and patch files give it: a number, or counted back
// from the end of the disk ("NUM_DISK_SECTORS-33." or without the dot).
struct sector_position {
    std::uint64_t value = 0;
    bool from_end = false;
    // The sector it names on a disk of that many sectors; false when it would
    // lie before the disk's start.
    bool resolve(std::uint64_t disk_sectors, std::uint64_t* sector) const;
};

// One program element the flash writes, or one erase element it carries out
// (same attributes, no file).
struct program_entry {
    xmlNode* node = nullptr;
    std::string label;
    std::string filename;
    std::string element;        // sent to the programmer unchanged
    std::uint32_t lun = 0;      // physical_partition_number
    sector_position start;      // start_sector
    std::uint64_t sectors = 0;  // num_partition_sectors, below 2^32
    std::uint64_t bytes = 0;    // sectors x sector size
    bool sparse = false;        // sparse="true": the member may be an Android sparse image
    bool erase = false;         // an <erase> element: the range is erased, nothing written
};

struct program_list {
    xml_document document;
    // Program elements with an image and erase elements, each in document
    // order, sorted by label as the flash type decides (an erase of
    // "userdata" is left out for keep_data like its write).
    std::vector<program_entry> base;
    std::vector<program_entry> os;
};

// Examines every "program" and "erase" element. Skips (and logs "Ignoring
// <label>: no file" / "... zero sectors") elements that do nothing, and leaves "userdata" out
// for keep_data. Throws std::runtime_error: "Cannot find program data" (not
// XML, or no "data" root), "no label", "Bad sector size", "file_sector_offset is
// not zero", "program <label>: <attribute> \"<text>\" is not a decimal number"
// (numbers are plain decimals; start_sector may also count from the disk's
// end), "program <label>: request longer than 1023 characters", and "Partition
// too large: <label> (<n> sectors; the programmer counts at most 4294967295)".
program_list read_program_list(const buffer& xml, std::uint32_t sector_size, std::uint32_t type);

struct patch_list {
    xml_document document;
    std::vector<xmlNode*> patches;  // the "DISK" patches, in document order
    std::vector<std::string> elements;  // their text as sent, same order
};

// Throws "Cannot find patch data" (not XML, or no "patches" root), "patch has
// no filename", number and request-length errors as read_program_list ("patch
// <n>: ..."); logs "Not DISK patch, skipping" for the others.
patch_list read_patch_list(const buffer& xml);

// Bytes of a partition: num_partition_sectors x SECTOR_SIZE_IN_BYTES, read as
// plain decimals (0 when either is not one), multiplied in 64 bits.
std::uint64_t partition_bytes(const xmlNode* program);
