#include "tool_env.h"

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tooltest {

namespace {

constexpr useconds_t poll_us = 2000;

} // namespace

fs::path binary_dir()
{
    const char* d = std::getenv("BRV_BINARY_DIR");
    if (!d)
        throw std::runtime_error("BRV_BINARY_DIR is not set (run the tests through ctest)");
    return d;
}

fs::path brv_program() { return binary_dir() / "bin" / "brv"; }
fs::path launcher_program() { return binary_dir() / "bin" / "brv-vhandset"; }
fs::path demo_package() { return binary_dir() / "examples" / "demo.brp"; }
fs::path demo_sources() { return binary_dir() / "examples" / "demo"; }

namespace {

// Starts argv[0] with stdin from /dev/null, stdout to `out_fd` or the file
// `out_path`, stderr to the file `err_path`.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int out_fd,
            const std::string& out_path, const std::string& err_path)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e)
        env_strings.emplace_back(*e);
    env_strings.insert(env_strings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : env_strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0]);
    return pid;
}

// The exit status of pid (128 + signal when a signal ended it); `signal` is
// sent to it once `ready` returns true, asked every few milliseconds while it
// runs.
int wait_for(pid_t pid, const std::function<bool()>& ready = {}, int signal = 0)
{
    int wstatus = 0;
    bool ended = false;
    while (ready && !ended) {
        const pid_t done = ::waitpid(pid, &wstatus, WNOHANG);
        ended = done == pid;
        if (!ended && ready()) {
            ::kill(pid, signal);
            break;
        }
        if (!ended)
            ::usleep(poll_us);
    }
    while (!ended && ::waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error("waitpid failed");
    }
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

} // namespace

run_result run(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    return run_and_signal(argv, env, {}, 0);
}

run_result run_and_signal(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          const std::function<bool()>& ready, int signal)
{
    temp_dir capture;
    const std::string out_path = (capture / "out").string();
    const std::string err_path = (capture / "err").string();
    run_result r;
    r.status = wait_for(spawn(argv, env, -1, out_path, err_path), ready, signal);
    r.out = read_text(out_path);
    r.err = read_text(err_path);
    return r;
}

const std::vector<std::string> quick_programmer = {"BRV_PROGRAMMER_WAIT_MS=0"};

std::vector<std::string> brv_under_launcher(const fs::path& state, const std::vector<std::string>& handset,
                                            const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {launcher_program().string(), "--state", state.string(), "--memory", "emmc",
                                     "--disk-size", "64M"};
    argv.insert(argv.end(), handset.begin(), handset.end());
    argv.push_back("--");
    argv.push_back(brv_program().string());
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

run_result brv_on(const fs::path& state, const std::vector<std::string>& handset, const std::vector<std::string>& args)
{
    return run(brv_under_launcher(state, handset, args), quick_programmer);
}

background_run::background_run(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    try {
        pid_ = spawn(argv, env, fds[1], "", (capture_ / "err").string());
    } catch (...) {
        ::close(fds[0]);
        ::close(fds[1]);
        throw;
    }
    ::close(fds[1]);
    out_ = fds[0];
}

background_run::~background_run()
{
    if (status_ < 0 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait_for(pid_);
    }
    if (out_ >= 0)
        ::close(out_);
}

std::optional<std::string> background_run::next_line(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto eol = pending_.find('\n'); eol != std::string::npos) {
            std::string line = pending_.substr(0, eol);
            pending_.erase(0, eol + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char chunk[4096];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0)
            return std::nullopt;
        pending_.append(chunk, static_cast<std::size_t>(n));
    }
}

void background_run::send_signal(int sig)
{
    ::kill(pid_, sig);
}

int background_run::wait()
{
    if (status_ < 0)
        status_ = wait_for(pid_);
    return status_;
}

std::string background_run::err() const
{
    return read_text(capture_ / "err");
}

std::string read_text(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::uint8_t> read_bytes(const fs::path& p)
{
    const std::string s = read_text(p);
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

void make_package_sources(const fs::path& dir)
{
    std::string blob(200 * 1024 + 17, '\0');
    std::uint32_t x = 12345;
    for (char& b : blob) {
        x = x * 1103515245u + 12345u;
        b = static_cast<char>(x >> 16);
    }
    write_folder(dir, {{"meta/params.txt", "device_code_name=fixture\n"
                                           "device_display_name=Fixture Phone\n"
                                           "device_memory_type=ufs\n"
                                           "device_sector_size=4096\n"
                                           "firehose_filename=prog.elf\n"
                                           "program_filename=rawprogram0.xml\n"
                                           "patch_filename=patch0.xml\n"},
                       {"meta/notes.txt", "Fixture notes\nsecond line\n"},
                       {"images/sub/readme.txt", "nested member\n"},
                       {"images/blob.bin", blob},
                       {"empty.txt", ""}});
}

} // namespace tooltest
