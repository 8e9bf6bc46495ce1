#include "progress_bar.h"

#include <algorithm>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr unsigned default_columns = 80;
constexpr unsigned bar_width = 30;
// "[" + bar + "] " + "100% " before the message.
constexpr unsigned bar_overhead = bar_width + 8;
constexpr std::uint32_t full_percent = 100;

unsigned terminal_columns(std::FILE* out)
{
    winsize ws{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return default_columns;
}

} // namespace

progress_bar::progress_bar(std::FILE* out) : out_(out), terminal_(::isatty(::fileno(out)) != 0) {}

void progress_bar::started()
{
    // Nothing to show until the operation reports a message or a value.
    drawn_ = false;
}

void progress_bar::changed()
{
    const std::uint32_t p = percent();
    std::string text = message();
    if (drawn_ && p == last_percent_ && text == last_message_)
        return;
    draw(p, text);
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
    line += pct;
    // Keep one column free so the terminal never wraps the line we redraw.
    const std::size_t room = columns > bar_overhead + 1 ? columns - bar_overhead - 1 : 0;
    line += text.substr(0, room);
    line.resize(std::max<std::size_t>(line.size(), columns - 1), ' ');
    std::fprintf(out_, "\r%s", line.c_str());
    std::fflush(out_);
}
