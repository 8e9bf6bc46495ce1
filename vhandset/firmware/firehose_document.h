// Documents the flash programmer sends: an XML declaration, a <data> root with
// either one <log value="..." /> or one <response value="..." .../>. Documents
// end right after </data> so that the next one can follow in the same stream.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vhandset {

constexpr const char* firehose_document_head = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<data>";
constexpr const char* firehose_document_tail = "</data>";

using xml_attributes = std::vector<std::pair<std::string, std::string>>;

// value is "ACK" or "NAK"; attributes follow it in the given order.
std::string response_document(const std::string& value, const xml_attributes& attrs);
std::string log_document(const std::string& text);

// Escapes &, <, > and " for an attribute value.
std::string xml_escape(const std::string& text);

} // namespace vhandset
