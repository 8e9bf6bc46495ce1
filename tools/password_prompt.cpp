#include "password_prompt.h"

#include "file.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <termios.h>

namespace {

constexpr std::size_t max_password_bytes = 1024;
constexpr int restoring_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// What the signal handler needs to give the terminal its echo back.
int echo_fd = -1;
struct termios echo_settings {};

void restore_and_reraise(int sig)
{
    ::tcsetattr(echo_fd, TCSANOW, &echo_settings);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error("password: " + what + " (/dev/tty: " + std::strerror(errno) + ")");
}

// Echo off (the newline still shows) for its lifetime.
class echo_off {
public:
    explicit echo_off(int fd) : fd_(fd)
    {
        if (::tcgetattr(fd_, &saved_) != 0)
            fail("cannot read the terminal settings");
        echo_fd = fd_;
        echo_settings = saved_;
        struct sigaction sa {};
        sa.sa_handler = restore_and_reraise;
        sigemptyset(&sa.sa_mask);
        for (std::size_t i = 0; i < std::size(restoring_signals); ++i)
            ::sigaction(restoring_signals[i], &sa, &previous_[i]);
        struct termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        if (::tcsetattr(fd_, TCSAFLUSH, &quiet) != 0) {
            restore();
            fail("cannot turn echo off");
        }
    }
    ~echo_off() { restore(); }
    echo_off(const echo_off&) = delete;
    echo_off& operator=(const echo_off&) = delete;

private:
    void restore()
    {
        ::tcsetattr(fd_, TCSAFLUSH, &saved_);
        for (std::size_t i = 0; i < std::size(restoring_signals); ++i)
            ::sigaction(restoring_signals[i], &previous_[i], nullptr);
    }

    int fd_;
    struct termios saved_ {};
    struct sigaction previous_[std::size(restoring_signals)] {};
};

} // namespace

std::string read_password(const std::string& prompt)
{
    file tty;
    try {
        tty.open_existing("/dev/tty", false);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("password: no terminal to ask on (/dev/tty: ") + e.what() + ")");
    }
    // Echo goes off before the prompt shows, so nothing typed after it is
    // flushed away or shown.
    const echo_off quiet(tty.descriptor());
    if (tty.write(prompt) != prompt.size())
        fail("cannot show the prompt");
    std::string password;
    password.reserve(max_password_bytes + 1);  // no reallocation leaves copies behind
    for (;;) {
        char c;
        if (tty.read(&c, 1) == 0 || c == '\n')
            break;
        if (password.size() == max_password_bytes) {
            std::fill(password.begin(), password.end(), '\0');
            throw std::runtime_error("password: longer than " + std::to_string(max_password_bytes) + " bytes");
        }
        password += c;
    }
    return password;
}
