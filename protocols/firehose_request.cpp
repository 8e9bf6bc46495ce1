#include "firehose_request.h"

#include <cstdarg>
#include <cstdio>
#include <stdexcept>

namespace {

constexpr std::size_t request_area_bytes = firehose_request_max_chars + 1;
constexpr char request_frame[] = "<?xml version=\"1.0\" ?>\n<data>\n%s\n</data>\n";

} // namespace

void firehose_request_too_long()
{
    throw std::runtime_error("firehose: request longer than 1023 characters");
}

std::string firehose_request(const char* element_format, ...)
{
    char element[request_area_bytes];
    va_list args;
    va_start(args, element_format);
    const int element_chars = std::vsnprintf(element, sizeof element, element_format, args);
    va_end(args);
    if (element_chars < 0 || static_cast<std::size_t>(element_chars) > firehose_request_max_chars)
        firehose_request_too_long();

    char request[request_area_bytes];
    const int request_chars = std::snprintf(request, sizeof request, request_frame, element);
    if (request_chars < 0 || static_cast<std::size_t>(request_chars) > firehose_request_max_chars)
        firehose_request_too_long();
    return std::string(request, static_cast<std::size_t>(request_chars));
}

bool firehose_element_fits(const std::string& element)
{
    try {
        firehose_request("%s", element.c_str());
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}
