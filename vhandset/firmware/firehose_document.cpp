#include "firehose_document.h"

namespace vhandset {

std::string xml_escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c; break;
        }
    }
    return out;
}

std::string response_document(const std::string& value, const xml_attributes& attrs)
{
    std::string d = firehose_document_head;
    d += "\n<response value=\"" + xml_escape(value) + "\"";
    for (const auto& [k, v] : attrs)
        d += " " + k + "=\"" + xml_escape(v) + "\"";
    d += " />\n";
    d += firehose_document_tail;
    return d;
}

std::string log_document(const std::string& text)
{
    std::string d = firehose_document_head;
    d += "\n<log value=\"" + xml_escape(text) + "\" />\n";
    d += firehose_document_tail;
    return d;
}

} // namespace vhandset
