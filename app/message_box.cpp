#include "message_box.h"

#include <FL/fl_ask.H>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace {
void toolkit_message(const char* text)
{
    fl_message("%s", text);
}

message_presenter presenter = toolkit_message;
} // namespace

void show_message(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);
    presenter(text.c_str());
}

message_presenter set_message_presenter(message_presenter next)
{
    message_presenter previous = presenter;
    presenter = next != nullptr ? next : toolkit_message;
    return previous;
}
