// One host request to the flash programmer: an XML document whose root <data>
// holds one command element.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace vhandset {

struct firehose_request {
    std::string name;                          // the command element's name ("program", ...)
    std::map<std::string, std::string> attrs;  // its attributes
    std::string text;                          // the element as received, on one line

    // Attribute value, or nullopt when absent.
    std::optional<std::string> attr(const std::string& key) const;
};

// Parses the bytes of one request. Returns nullopt (and a reason in *why) when
// they are not a well-formed document with a <data> root holding an element.
std::optional<firehose_request> parse_firehose_request(const char* data, std::size_t len, std::string* why);

} // namespace vhandset
