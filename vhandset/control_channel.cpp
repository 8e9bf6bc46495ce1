#include "control_channel.h"

#include "bus.h"
#include "firmware/firmware.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace vhandset {

namespace {

constexpr std::size_t read_chunk = 256;
constexpr unsigned max_handset_number = 100;

device::firmware real_firmware(const handset_options& opts, const std::filesystem::path& dir)
{
    return [opts, dir](device_link& link) { run_firmware(link, opts, dir); };
}

void append_line(const std::filesystem::path& path, const std::string& line)
{
    std::ofstream out(path, std::ios::app | std::ios::binary);
    out << line << '\n';
}

bool parse_number(const std::string& text, unsigned* n)
{
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *n = static_cast<unsigned>(std::stoul(text));
    return true;
}

} // namespace

session::session(const std::filesystem::path& state_dir)
    : state_dir_(state_dir), config_(read_session_config(state_dir)), options_(config_.handset())
{
}

void session::start()
{
    for (unsigned i = 0; i < config_.handsets; ++i)
        attach_next();
}

std::string session::attach_next()
{
    std::lock_guard lock(mutex_);
    unsigned n = 1;
    while (n <= max_handset_number && handsets_.count(n) != 0 && handsets_[n]->attached())
        ++n;
    if (n > max_handset_number)
        return "error: no free handset number";
    const auto dir = handset_dir(state_dir_, n);
    const handset_options mine = for_handset(options_, n);
    handsets_[n] = bus::instance().attach(mine, dir, real_firmware(mine, dir), n);
    std::erase(attach_order_, n);
    attach_order_.push_back(n);
    return "ok attach " + std::to_string(n);
}

std::string session::detach_number(unsigned number)
{
    std::shared_ptr<handset> h;
    {
        std::lock_guard lock(mutex_);
        auto it = handsets_.find(number);
        if (it == handsets_.end() || !it->second->attached())
            return "error: handset " + std::to_string(number) + " is not attached";
        h = it->second;
        std::erase(attach_order_, number);
    }
    bus::instance().detach(std::static_pointer_cast<device>(h));
    return "ok detach " + std::to_string(number);
}

std::string session::execute(const std::string& line)
{
    std::istringstream words(line);
    std::string command, argument, extra;
    words >> command >> argument >> extra;
    try {
        if (command == "attach" && argument.empty())
            return attach_next();
        if (command == "detach" && extra.empty()) {
            unsigned n = 0;
            if (argument.empty()) {
                std::lock_guard lock(mutex_);
                // Skip handsets that left the bus by themselves (a power reset).
                while (!attach_order_.empty() && !handsets_[attach_order_.back()]->attached())
                    attach_order_.pop_back();
                if (attach_order_.empty())
                    return "error: no handset is attached";
                n = attach_order_.back();
            } else if (!parse_number(argument, &n)) {
                return "error: bad handset number '" + argument + "'";
            }
            return detach_number(n);
        }
        if (command == "detach-all" && argument.empty()) {
            bus::instance().detach_all();
            std::lock_guard lock(mutex_);
            attach_order_.clear();
            return "ok detach-all";
        }
    } catch (const std::exception& e) {
        return std::string("error: ") + e.what();
    }
    return "error: unknown command '" + line + "' (attach, detach [N], detach-all)";
}

void serve_control_channel(std::shared_ptr<session> s)
{
    make_control_fifo(s->state_dir());
    const auto fifo = control_path(s->state_dir());
    // Opened for reading and writing so that open() does not wait for a writer
    // and the reader never sees end-of-file when a writer goes away.
    const int fd = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("cannot open " + fifo.string() + ": " + std::strerror(errno));

    // The watcher lives as long as the process; it is never joined.
    std::thread([s, fd] {
        const auto log = control_log_path(s->state_dir());
        std::string pending;
        char chunk[read_chunk];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            pending.append(chunk, static_cast<std::size_t>(n));
            for (auto eol = pending.find('\n'); eol != std::string::npos; eol = pending.find('\n')) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (line.find_first_not_of(" \t") == std::string::npos)
                    continue;
                append_line(log, s->execute(line));
            }
        }
        ::close(fd);
    }).detach();
}

bool start_session_from_environment()
{
    static std::once_flag once;
    static bool ok = true;
    std::call_once(once, [] {
        const char* dir = std::getenv(state_env_var);
        if (dir == nullptr || *dir == '\0')
            return;
        try {
            auto s = std::make_shared<session>(dir);
            s->start();
            serve_control_channel(s);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vhandset: cannot start the handsets of %s: %s\n", dir, e.what());
            ok = false;
        }
    });
    return ok;
}

} // namespace vhandset
