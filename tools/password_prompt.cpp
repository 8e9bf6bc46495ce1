#include "password_prompt.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

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

class terminal {
public:
    terminal()
    {
        do
            fd_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        while (fd_ == -1 && errno == EINTR);
        if (fd_ == -1)
            fail("no terminal to ask on");
    }
    ~terminal() { ::close(fd_); }
    terminal(const terminal&) = delete;
    terminal& operator=(const terminal&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

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

void write_all(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("cannot show the prompt");
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

std::string read_password(const std::string& prompt)
{
    const terminal tty;
    // Echo goes off before the prompt shows, so nothing typed after it is
    // flushed away or shown.
    const echo_off quiet(tty.fd());
    write_all(tty.fd(), prompt);
    std::string password;
    password.reserve(max_password_bytes + 1);  // no reallocation leaves copies behind
    for (;;) {
        char c;
        const ssize_t n = ::read(tty.fd(), &c, 1);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            fail("cannot read the password");
        if (n == 0 || c == '\n')
            break;
        if (password.size() == max_password_bytes) {
            std::fill(password.begin(), password.end(), '\0');
            throw std::runtime_error("password: longer than " + std::to_string(max_password_bytes) + " bytes");
        }
        password += c;
    }
    return password;
}
