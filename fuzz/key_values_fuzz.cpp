// meta/params.txt: the key=value parser, then the conversions the package
// metadata applies to its values.
#include "decimal_text.h"
#include "key_values.h"
#include "memory_type.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    key_value_map values;
    try {
        values = parse_key_values(reinterpret_cast<const char*>(data), size);
    } catch (const std::runtime_error&) {
        return 0;
    }
    for (const auto& [key, value] : values) {
        parse_memory_type(value);
        decimal_text_value(value.c_str());
    }
    try {
        parse_key_values(dump_key_values(values));
    } catch (const std::runtime_error&) {
    }
    return 0;
}
