#include "progress_bar.h"

#include <algorithm>
#include <string>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr unsigned default_columns = 80;
constexpr unsigned bar_width = 30;
constexpr std::uint32_t full_percent = 100;
// The rate and the time left change without the percentage changing.
constexpr auto redraw_interval = std::chrono::milliseconds(500);
constexpr double megabyte = 1e6;

unsigned terminal_columns(std::FILE* out)
{
    winsize ws{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return default_columns;
}

} // namespace

progress_bar::progress_bar(std::FILE* out) : out_(out), terminal_(::isatty(::fileno(out)) != 0) {}

std::string rate_text(double bytes_per_second)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB/s", bytes_per_second / megabyte);
    return text;
}

std::string duration_text(double seconds)
{
    const auto s = static_cast<unsigned long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lu:%02lu:%02lu", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lu:%02lu", s / 60, s % 60);
    return text;
}

void progress_bar::started()
{
    // Nothing to show until the operation reports a message or a value.
    drawn_ = false;
    meter_.reset();
}

void progress_bar::changed()
{
    const std::uint32_t p = percent();
    std::string text = message();
    const auto now = std::chrono::steady_clock::now();
    meter_.sample(value(), now);
    const bool stale = terminal_ && now - last_draw_ >= redraw_interval;
    if (drawn_ && p == last_percent_ && text == last_message_ && !stale)
        return;
    last_draw_ = now;
    draw(p, text);
}

// "12.3 MB/s 1:05 left " while both are known, else nothing.
std::string progress_bar::speed_text() const
{
    const std::optional<double> rate = meter_.rate();
    const std::optional<double> left = meter_.seconds_left(max_value());
    if (!rate || *rate <= 0)
        return "";
    return rate_text(*rate) + (left ? " " + duration_text(*left) + " left" : "") + " ";
}

void progress_bar::finished()
{
    if (terminal_ && drawn_)
        std::fputc('\n', out_);
    std::fflush(out_);
    drawn_ = false;
}

void progress_bar::draw(std::uint32_t p, const std::string& text)
{
    last_percent_ = p;
    last_message_ = text;
    drawn_ = true;
    if (!terminal_) {
        std::fprintf(out_, "%3u%% %s\n", p, text.c_str());
        std::fflush(out_);
        return;
    }
    const unsigned columns = terminal_columns(out_);
    const unsigned filled = bar_width * (p > full_percent ? full_percent : p) / full_percent;
    std::string line = "[" + std::string(filled, '#') + std::string(bar_width - filled, '.') + "] ";
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3u%% ", p);
    line += std::string(pct) + speed_text();
    // Keep one column free so the terminal never wraps the line we redraw.
    const std::size_t used = line.size();
    const std::size_t room = columns > used + 1 ? columns - used - 1 : 0;
    line += text.substr(0, room);
    line.resize(std::max<std::size_t>(line.size(), columns - 1), ' ');
    std::fprintf(out_, "\r%s", line.c_str());
    std::fflush(out_);
}
