// Logging: printf-style free functions sharing one threshold and one sink.
// Every line is formatted into 1024 bytes ("V:", "I:" or "E:" and at most 1021
// characters of message) and handed to the sink. The default sink discards
// lines; a front end may install another (the command line's -v sends them to
// stderr). Callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Threshold for log_verbose and log_at; 0 until the entry point sets it.
extern unsigned log_level;

void log_verbose(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Emitted (with "I:") when log_level >= level.
void log_at(unsigned level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Header line "hexdump: N bytes" and one 65-character line per 16 bytes.
void hexdump(const void* data, std::size_t length);

// backtrace()/backtrace_symbols() of the calling thread; the caller frees the
// array stack_symbols returns (with free()).
int stack_trace(void** addresses, int capacity);
char** stack_symbols(void* const* addresses, int count);

// Receives every finished, NUL-terminated line. The installed sink must be
// thread-safe; nullptr restores the default, which discards.
using log_sink_fn = void (*)(const char* line);
void set_log_sink(log_sink_fn sink);
void log_output(const char* line);
