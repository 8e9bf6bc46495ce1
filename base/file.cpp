#include "file.h"
#include "paths.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr mode_t create_mode = 0666;

[[noreturn]] void fail_errno()
{
    throw std::runtime_error(std::strerror(errno));
}

[[noreturn]] void fail_open()
{
    throw std::runtime_error(std::string("file: cannot open: ") + std::strerror(errno));
}

std::string expanded(const std::string& path)
{
    char out[path_max_bytes];
    if (!expand_path(path.c_str(), out))
        fail_open();
    return out;
}
} // namespace

void file::open_existing(const std::string& path, bool read_only)
{
    if (open())
        throw std::runtime_error("file: already open");
    const std::string p = expanded(path);
    int fd;
    do
        fd = ::open(p.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    while (fd == -1 && errno == EINTR);
    if (fd == -1)
        fail_open();
    fd_ = fd;
}

void file::create(const std::string& path, bool exclusive)
{
    if (open())
        throw std::runtime_error("file: already open");
    const std::string p = expanded(path);
    const int flags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | (exclusive ? O_EXCL | O_NOFOLLOW : 0);
    int fd;
    do
        fd = ::open(p.c_str(), flags, create_mode);
    while (fd == -1 && errno == EINTR);
    if (fd == -1)
        fail_open();
    fd_ = fd;
}

void file::close()
{
    if (fd_ != -1) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::uint64_t file::size() const
{
    struct stat st;
    if (::fstat(fd_, &st) == -1)
        fail_errno();
    return static_cast<std::uint64_t>(st.st_size);
}

std::uint64_t file::seek(std::int64_t offset, origin from)
{
    const int whence = from == origin::start ? SEEK_SET : from == origin::current ? SEEK_CUR : SEEK_END;
    const off_t r = ::lseek(fd_, offset, whence);
    if (r == -1)
        fail_errno();
    return static_cast<std::uint64_t>(r);
}

std::uint64_t file::tell() const
{
    const off_t r = ::lseek(fd_, 0, SEEK_CUR);
    if (r == -1)
        fail_errno();
    return static_cast<std::uint64_t>(r);
}

std::uint64_t file::read(void* dst, std::uint64_t count)
{
    ssize_t r;
    do
        r = ::read(fd_, dst, count);
    while (r == -1 && errno == EINTR);
    if (r == -1)
        fail_errno();
    return static_cast<std::uint64_t>(r);
}

void file::read(buffer& b)
{
    const std::uint64_t n = read(b.c_ptr(), b.size());
    b.resize(n);
}

buffer file::read(std::uint64_t count)
{
    buffer b;
    b.reserve(count);
    b.resize(read(b.c_ptr(), count));
    return b;
}

std::uint64_t file::write(const void* src, std::uint64_t count)
{
    ssize_t r;
    do
        r = ::write(fd_, src, count);
    while (r == -1 && errno == EINTR);
    if (r == -1)
        fail_errno();
    return static_cast<std::uint64_t>(r);
}

std::uint64_t file::write(const buffer& b) { return write(b.c_ptr(), b.size()); }

std::uint64_t file::write(const std::string& s) { return write(s.data(), s.size()); }

void* file::map(std::uint64_t length, bool read_only)
{
    if (length == 0)
        return nullptr;
    void* p = ::mmap(nullptr, length, read_only ? PROT_READ : (PROT_READ | PROT_WRITE), MAP_PRIVATE, fd_, 0);
    if (p == MAP_FAILED)
        fail_errno();
    return p;
}

void file::unmap(void* address, std::uint64_t length)
{
    if (address != nullptr)
        ::munmap(address, length);
}

void file::unlink(const std::string& path)
{
    if (::unlink(path.c_str()) == -1)
        fail_errno();
}

file_mapping::file_mapping(const std::string& path)
{
    file_.open_existing(path, true);
    size_ = file_.size();
    data_ = file_.map(size_, true);
}
