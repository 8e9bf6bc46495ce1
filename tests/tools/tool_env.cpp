#include "tool_env.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
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
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
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
            throw std::runtime_error("waitpid failed for " + argv[0]);
    }
    run_result r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    r.out = read_text(out_path);
    r.err = read_text(err_path);
    return r;
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
