#include "log_capture.h"

#include "log.h"

#include <algorithm>
#include <mutex>

namespace {

std::mutex lock;
std::vector<std::string> captured;

void collect(const char* line)
{
    const std::lock_guard<std::mutex> hold(lock);
    captured.emplace_back(line);
}

} // namespace

log_capture::log_capture() : saved_level_(log_level)
{
    {
        const std::lock_guard<std::mutex> hold(lock);
        captured.clear();
    }
    log_level = 2;
    set_log_sink(collect);
}

log_capture::~log_capture()
{
    set_log_sink(nullptr);
    log_level = saved_level_;
}

std::vector<std::string> log_capture::lines() const
{
    const std::lock_guard<std::mutex> hold(lock);
    return captured;
}

bool log_capture::has(const std::string& line) const
{
    const auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
}

std::size_t log_capture::count(const std::string& prefix) const
{
    const auto all = lines();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}
