#include "session_config.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace vhandset {

namespace {

constexpr const char* handsets_key = "handsets";
constexpr unsigned max_handsets = 100;

} // namespace

unsigned parse_handset_count(const std::string& text)
{
    std::size_t used = 0;
    unsigned long n = 0;
    try {
        n = std::stoul(text, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || n < 1 || n > max_handsets)
        throw std::invalid_argument("--handsets: '" + text + "' is not a number from 1 to " +
                                    std::to_string(max_handsets));
    return static_cast<unsigned>(n);
}

handset_options session_config::handset() const
{
    handset_options opts;
    for (const auto& [name, value] : options)
        parse_option(opts, name, value);
    return opts;
}

std::filesystem::path config_path(const std::filesystem::path& state_dir) { return state_dir / "vhandset.conf"; }
std::filesystem::path control_path(const std::filesystem::path& state_dir) { return state_dir / "control"; }
std::filesystem::path control_log_path(const std::filesystem::path& state_dir) { return state_dir / "control.log"; }

void make_control_fifo(const std::filesystem::path& state_dir)
{
    const auto fifo = control_path(state_dir);
    struct stat st {};
    if (::lstat(fifo.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode))
        ::unlink(fifo.c_str());
    if (::mkfifo(fifo.c_str(), 0600) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + fifo.string() + ": " + std::strerror(errno));
}

std::filesystem::path handset_dir(const std::filesystem::path& state_dir, unsigned number)
{
    if (number <= 1)
        return state_dir;
    return state_dir / ("handset" + std::to_string(number));
}

void write_session_config(const std::filesystem::path& state_dir, const session_config& cfg)
{
    std::string text = std::string(handsets_key) + "=" + std::to_string(cfg.handsets) + "\n";
    for (const auto& [name, value] : cfg.options) {
        if (name.find_first_of("=\n\r") != std::string::npos || value.find_first_of("\n\r") != std::string::npos)
            throw std::invalid_argument("--" + name + ": line breaks are not allowed in option values");
        text += name + "=" + value + "\n";
    }
    const auto path = config_path(state_dir);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

session_config read_session_config(const std::filesystem::path& state_dir)
{
    const auto path = config_path(state_dir);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    session_config cfg;
    std::string line;
    unsigned line_no = 0;
    while (std::getline(in, line)) {
        ++line_no;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line.front() == '#')
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0)
            throw std::runtime_error(path.string() + ":" + std::to_string(line_no) + ": expected name=value");
        std::string name = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        if (name == handsets_key)
            cfg.handsets = parse_handset_count(value);
        else
            cfg.options.emplace_back(std::move(name), std::move(value));
    }
    cfg.handset();  // refuse bad values here rather than at the first attach
    return cfg;
}

} // namespace vhandset
