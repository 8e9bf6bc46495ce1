// The frame every Firehose request travels in, and its length limit: requests
// are formatted into a 1024-byte area, so at most 1023 characters. Kept apart
// from the client so that planners can check a request without a USB link.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t firehose_request_max_chars = 1023;

// Formats one element and frames it as a request. Refuses, rather than cuts, a
// request that would not fit: std::runtime_error "firehose: request longer
// than 1023 characters".
std::string firehose_request(const char* element_format, ...) __attribute__((format(printf, 1, 2)));

[[noreturn]] void firehose_request_too_long();

// Whether a caller's element, framed as a request, stays within the limit.
bool firehose_element_fits(const std::string& element);
