#include "model.h"

#include "decimal_text.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {
constexpr unsigned hex_base = 16;
constexpr std::size_t row_fields = 6;  // name, memory, sector size, three identities
constexpr std::size_t first_identity_field = 3;

const char* skip_hex_prefix(const char* p)
{
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        return p + 2;
    return p;
}

// strtoul's value cut to the 16 bits an identity half holds; `end` gets the
// first character it did not use.
std::uint16_t hex_half(const char* p, char** end)
{
    return static_cast<std::uint16_t>(std::strtoul(skip_hex_prefix(p), end, hex_base));
}
} // namespace

model::model(const std::string& row)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = row.find(',', start);
        fields.push_back(row.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos || fields.size() == row_fields)
            break;
        start = comma + 1;
    }
    name_ = fields[0];
    if (fields.size() > 1)
        memory_type(fields[1].c_str());
    if (fields.size() > 2)
        sector_size(decimal_text_value(fields[2].c_str()));
    for (std::size_t f = first_identity_field; f < fields.size(); ++f)
        set_vidpid(static_cast<unsigned>(f - first_identity_field), fields[f]);
}

void model::memory_type(const char* name)
{
    memory_type_ = parse_memory_type(name);
}

void model::set_vidpid(unsigned index, const std::string& text)
{
    usb_vidpid_t& id = ids_.at(index);
    char* end = nullptr;
    id.vid = hex_half(text.c_str(), &end);
    const char* colon = std::strchr(end, ':');
    if (colon == nullptr)
        throw std::runtime_error("Bad vidpid");
    id.pid = hex_half(colon + 1, &end);
}
