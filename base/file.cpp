#include "file.h"
#include "paths.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr mode_t create_mode = 0666;
constexpr char temporary_infix[] = ".tmp.";
constexpr std::size_t temporary_random_chars = 6;
// Another name is drawn when the first one is taken; this many taken names in
// a row mean something other than chance is at work.
constexpr int temporary_attempts = 100;
constexpr char name_chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

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

std::string file::create_temporary(const std::string& target)
{
    if (open())
        throw std::runtime_error("file: already open");
    // O_EXCL refuses any existing entry, a dangling link included, so nothing
    // of that name is ever truncated or written through.
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    for (int attempt = 0; attempt < temporary_attempts; ++attempt) {
        unsigned char random[temporary_random_chars];
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            fail_open();
        std::string path = target + temporary_infix;
        for (const unsigned char r : random)
            path += name_chars[r % (sizeof name_chars - 1)];
        if (path.size() >= path_max_bytes) {
            errno = ENAMETOOLONG;
            fail_open();
        }
        int fd;
        do
            fd = ::open(path.c_str(), flags, create_mode);
        while (fd == -1 && errno == EINTR);
        if (fd != -1) {
            fd_ = fd;
            return path;
        }
        if (errno != EEXIST)
            fail_open();
    }
    fail_open();
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

replacement_file::replacement_file(const std::string& path, bool replace_existing)
    : target_(expanded(path)), replace_existing_(replace_existing)
{
    temporary_ = out_.create_temporary(target_);
}

replacement_file::~replacement_file()
{
    discard();
}

void replacement_file::discard()
{
    out_.close();
    if (!settled_)
        ::unlink(temporary_.c_str());
    settled_ = true;
}

void replacement_file::write(const void* src, std::uint64_t count)
{
    const auto* p = static_cast<const std::uint8_t*>(src);
    while (count > 0) {
        const std::uint64_t n = out_.write(p, count);
        if (n == 0)
            throw std::runtime_error(temporary_ + ": nothing written (disk full?)");
        p += n;
        count -= n;
    }
}

void replacement_file::commit()
{
    try {
        put_in_place();
    } catch (...) {
        discard();
        throw;
    }
    settled_ = true;
}

void replacement_file::put_in_place()
{
    if (::fsync(out_.descriptor()) != 0)
        throw std::runtime_error("file: cannot write " + temporary_ + ": " + std::strerror(errno));
    out_.close();
    auto failed = [this] {
        if (errno == EEXIST)
            throw std::runtime_error("file: " + target_ + " exists");
        throw std::runtime_error("file: cannot rename " + temporary_ + " to " + target_ + ": " + std::strerror(errno));
    };
    if (replace_existing_) {
        if (::rename(temporary_.c_str(), target_.c_str()) != 0)
            failed();
    } else if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) != 0) {
        // File systems without RENAME_NOREPLACE: link() refuses an existing
        // target too.
        if (errno != EINVAL && errno != ENOSYS)
            failed();
        if (::link(temporary_.c_str(), target_.c_str()) != 0)
            failed();
        ::unlink(temporary_.c_str());
    }
}
