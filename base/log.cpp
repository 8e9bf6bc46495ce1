#include "log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <execinfo.h>

unsigned log_level = 0;

namespace {
constexpr std::size_t line_size = 1024;
constexpr std::size_t prefix_len = 2;
constexpr std::size_t hexdump_row = 16;
constexpr std::size_t hexdump_line = 65;
constexpr std::size_t hexdump_text_column = 48;

std::atomic<log_sink_fn> sink{nullptr};

void emit(const char* prefix, const char* fmt, va_list args)
{
    char line[line_size];
    std::memcpy(line, prefix, prefix_len + 1);
    std::vsnprintf(line + prefix_len, line_size - prefix_len, fmt, args);
    log_output(line);
}
} // namespace

void set_log_sink(log_sink_fn s) { sink.store(s); }

void log_output(const char* line)
{
    if (auto s = sink.load())
        s(line);
}

void log_verbose(const char* fmt, ...)
{
    if (log_level == 0)
        return;
    va_list args;
    va_start(args, fmt);
    emit("V:", fmt, args);
    va_end(args);
}

void log_info(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    emit("I:", fmt, args);
    va_end(args);
}

void log_error(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    emit("E:", fmt, args);
    va_end(args);
}

void log_at(unsigned level, const char* fmt, ...)
{
    if (log_level < level)
        return;
    char text[line_size];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    log_info("%s", text);
}

void hexdump(const void* data, std::size_t length)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    log_info("hexdump: %u bytes\n", static_cast<unsigned>(length));
    for (std::size_t offset = 0; offset < length; offset += hexdump_row) {
        char work[hexdump_line + 1];
        std::memset(work, ' ', hexdump_line);
        work[hexdump_line] = '\0';
        const std::size_t row = length - offset < hexdump_row ? length - offset : hexdump_row;
        static const char digits[] = "0123456789abcdef";
        for (std::size_t i = 0; i < row; ++i) {
            const unsigned char b = bytes[offset + i];
            work[3 * i] = digits[b >> 4];
            work[3 * i + 1] = digits[b & 0xf];
            work[hexdump_text_column + i] = (b >= 0x20 && b <= 0x7e) ? static_cast<char>(b) : '.';
        }
        log_info("%04x: %s\n", static_cast<unsigned>(offset), work);
    }
}

int stack_trace(void** addresses, int capacity) { return backtrace(addresses, capacity); }

char** stack_symbols(void* const* addresses, int count) { return backtrace_symbols(addresses, count); }
