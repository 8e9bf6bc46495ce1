// Collects every log line while it lives, with the protocol traffic level on,
// so tests can check what the host reported.
#pragma once

#include <string>
#include <vector>

class log_capture {
public:
    log_capture();
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::vector<std::string> lines() const;
    // True when some line is exactly `line` ("I:log: hello\n").
    bool has(const std::string& line) const;
    // Lines that start with `prefix`.
    std::size_t count(const std::string& prefix) const;

private:
    unsigned saved_level_;
};
