#include "paths.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr mode_t dir_mode = 0777;

bool copy_bounded(char* out, const char* a, std::size_t a_len, const char* b)
{
    const std::size_t b_len = std::strlen(b);
    if (a_len + b_len >= path_max_bytes) {
        out[0] = '\0';
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(out, a, a_len);
    std::memcpy(out + a_len, b, b_len + 1);
    return true;
}
} // namespace

std::string home_dir()
{
    const char* home = std::getenv("HOME");
    return home != nullptr ? home : "/";
}

bool expand_path(const char* input, char out[path_max_bytes])
{
    const std::size_t input_len = std::strlen(input);
    if (input_len >= path_max_bytes) {
        out[0] = '\0';
        errno = ENAMETOOLONG;
        return false;
    }
    if (input[0] != '~')
        return copy_bounded(out, input, input_len, "");

    const char* rest;
    const passwd* entry;
    if (input[1] == '/') {
        entry = ::getpwuid(::getuid());
        rest = input + 1;
    } else {
        const char* slash = std::strchr(input + 1, '/');
        rest = slash != nullptr ? slash : input + input_len;
        const std::string user(input + 1, rest);
        entry = user.empty() ? nullptr : ::getpwnam(user.c_str());
    }
    if (entry == nullptr || entry->pw_dir == nullptr)
        return copy_bounded(out, input, input_len, "");
    return copy_bounded(out, entry->pw_dir, std::strlen(entry->pw_dir), rest);
}

bool make_dir(const std::string& path, bool fail_if_exists)
{
    char p[path_max_bytes];
    if (!expand_path(path.c_str(), p))
        return false;
    if (::mkdir(p, dir_mode) == 0)
        return true;
    return errno == EEXIST && !fail_if_exists;
}

bool remove_dir(const std::string& path)
{
    char p[path_max_bytes];
    if (!expand_path(path.c_str(), p))
        return false;
    return ::rmdir(p) == 0;
}

bool stat_size(const std::string& path, std::uint64_t& size)
{
    struct stat st;
    if (::stat(path.c_str(), &st) == -1)
        return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}
