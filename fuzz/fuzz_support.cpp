#include "fuzz_support.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

namespace {

void ignore_generic(void*, const char*, ...) {}
void ignore_structured(void*, xmlErrorPtr) {}

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error("fuzz: " + what + ": " + std::strerror(errno));
}

} // namespace

void quiet_xml()
{
    xmlSetGenericErrorFunc(nullptr, ignore_generic);
    xmlSetStructuredErrorFunc(nullptr, ignore_structured);
}

memory_file::memory_file()
{
    fd_ = ::memfd_create("brv-fuzz", MFD_CLOEXEC);
    if (fd_ < 0)
        fail("memfd_create");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

memory_file::~memory_file()
{
    ::close(fd_);
}

void memory_file::write(const std::uint8_t* data, std::size_t size)
{
    if (::ftruncate(fd_, 0) != 0)
        fail("ftruncate");
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("pwrite");
        }
        done += static_cast<std::size_t>(n);
    }
}

std::filesystem::path scratch_parent()
{
    // Memory-backed when the system has it: a file rewritten for every input
    // on a disk file system costs a flush each time.
    const std::filesystem::path shm = "/dev/shm";
    std::error_code ec;
    return std::filesystem::is_directory(shm, ec) && ::access(shm.c_str(), W_OK) == 0 ? shm
                                                                                      : std::filesystem::temp_directory_path();
}

std::vector<transfer> split_at_nul(const std::uint8_t* data, std::size_t size)
{
    std::vector<transfer> out;
    const char* p = reinterpret_cast<const char*>(data);
    const char* const end = p + size;
    while (p < end) {
        const char* nul = static_cast<const char*>(std::memchr(p, '\0', static_cast<std::size_t>(end - p)));
        const char* stop = nul != nullptr ? nul : end;
        if (stop == p)
            out.emplace_back(std::nullopt);
        else
            out.emplace_back(std::string(p, stop));
        p = nul != nullptr ? nul + 1 : end;
    }
    return out;
}

std::vector<transfer> length_prefixed(const std::uint8_t* data, std::size_t size)
{
    std::vector<transfer> out;
    std::size_t i = 0;
    while (i < size) {
        const std::size_t length = data[i++];
        if (length == 0) {
            out.emplace_back(std::nullopt);
            continue;
        }
        const std::size_t n = length < size - i ? length : size - i;
        out.emplace_back(std::string(reinterpret_cast<const char*>(data + i), n));
        i += n;
    }
    return out;
}

void attempt(const std::function<void()>& step)
{
    try {
        step();
    } catch (const std::runtime_error&) {
    }
}

} // namespace fuzz
