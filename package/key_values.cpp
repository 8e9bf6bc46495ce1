#include "key_values.h"

#include <cstring>
#include <stdexcept>

namespace {
constexpr char line_feed = '\n';
constexpr char separator = '=';
constexpr char comment_mark = '#';
} // namespace

key_value_map parse_key_values(const char* text, std::uint64_t length)
{
    key_value_map result;
    const char* p = text;
    const char* const end = text + length;
    while (p < end) {
        const char* lf = static_cast<const char*>(std::memchr(p, line_feed, static_cast<std::size_t>(end - p)));
        if (lf == nullptr)
            throw std::runtime_error("Unterminated line");
        const char c = *p;
        if (c == separator)
            throw std::runtime_error("Invalid line");
        if (c != '\0' && c != comment_mark) {
            const char* eq = static_cast<const char*>(std::memchr(p, separator, static_cast<std::size_t>(lf - p)));
            if (eq != nullptr)
                result[std::string(p, eq)] = std::string(eq + 1, lf);
            else
                result[std::string(p, lf)] = std::string();
        }
        p = lf + 1;
    }
    return result;
}

key_value_map parse_key_values(const std::string& text)
{
    return parse_key_values(text.data(), text.size());
}

std::string dump_key_values(const key_value_map& map)
{
    std::string out;
    for (const auto& [key, value] : map) {
        std::string line = key + separator + value;
        if (line.size() > key_value_line_max - 1)
            line.resize(key_value_line_max - 1);
        out += line;
        out += line_feed;
    }
    return out;
}
