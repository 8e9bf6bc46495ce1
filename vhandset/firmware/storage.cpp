#include "storage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/falloc.h>
#include <memory>
#include <openssl/evp.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace vhandset {

namespace {

constexpr std::uint32_t emmc_sector = 512;
constexpr std::uint32_t ufs_sector = 4096;
constexpr unsigned emmc_luns = 1;
constexpr unsigned ufs_luns = 6;
constexpr std::size_t read_piece = 256 * 1024;  // what CRC and digest read at a time
// Zero detection works on pieces aligned to the file system's usual block, so
// an all-zero block can become (or stay) a hole.
constexpr std::uint64_t hole_granule = 4096;
constexpr std::size_t zero_chunk = 64 * 1024;

[[noreturn]] void sys_fail(const std::string& what)
{
    throw std::runtime_error("storage: " + what + ": " + std::strerror(errno));
}

int open_lun(const std::filesystem::path& file, std::uint64_t size)
{
    constexpr mode_t file_mode = 0644;
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, file_mode);
    if (fd < 0)
        sys_fail("cannot open " + file.string());
    // A disk of another size starts erased. A new file is only extended: ext4
    // flushes a file cut to nothing and then written when it is closed, which
    // would add that write-back to every exit after a large flash.
    struct stat st {};
    if (::fstat(fd, &st) != 0 ||
        (static_cast<std::uint64_t>(st.st_size) != size &&
         ((st.st_size != 0 && ::ftruncate(fd, 0) != 0) || ::ftruncate(fd, static_cast<off_t>(size)) != 0))) {
        const int e = errno;
        ::close(fd);
        errno = e;
        sys_fail("cannot size " + file.string());
    }
    return fd;
}

bool all_zero(const unsigned char* p, std::size_t n)
{
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

void put_bytes(int fd, std::uint64_t offset, const unsigned char* p, std::size_t len)
{
    while (len > 0) {
        const ssize_t n = ::pwrite(fd, p, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            sys_fail("write");
        p += n;
        offset += static_cast<std::uint64_t>(n);
        len -= static_cast<std::size_t>(n);
    }
}

// True when no byte of [offset, offset + len) is backed by data.
bool inside_hole(int fd, std::uint64_t offset, std::uint64_t len)
{
    const off_t data = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
    if (data < 0)
        return errno == ENXIO;  // no data from here to the end of the file
    return static_cast<std::uint64_t>(data) >= offset + len;
}

// Zeros over a hole cost nothing; over data they punch the data out, and only
// where the file system cannot punch are zeros written.
void put_zeros(int fd, std::uint64_t offset, std::uint64_t len)
{
    if (inside_hole(fd, offset, len))
        return;
    if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(len)) == 0)
        return;
    static const unsigned char zeros[zero_chunk] = {};
    while (len > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(len, zero_chunk));
        put_bytes(fd, offset, zeros, n);
        offset += n;
        len -= n;
    }
}

} // namespace

storage::storage(const std::filesystem::path& state_dir, const std::string& memory, std::uint64_t disk_size)
{
    std::string m = memory;
    std::transform(m.begin(), m.end(), m.begin(), [](unsigned char c) { return std::tolower(c); });
    unsigned luns = 0;
    if (m == "emmc") {
        name_ = "EMMC";
        sector_size_ = emmc_sector;
        luns = emmc_luns;
    } else if (m == "ufs") {
        name_ = "UFS";
        sector_size_ = ufs_sector;
        luns = ufs_luns;
    } else {
        throw std::invalid_argument("storage: unknown memory '" + memory + "'");
    }
    sectors_ = disk_size / sector_size_;
    if (sectors_ == 0)
        throw std::invalid_argument("storage: disk smaller than one sector");
    const std::uint64_t bytes = sectors_ * sector_size_;
    try {
        for (unsigned i = 0; i < luns; ++i)
            fds_.push_back(open_lun(state_dir / ("lun" + std::to_string(i) + ".img"), bytes));
    } catch (...) {
        for (int fd : fds_)
            ::close(fd);
        throw;
    }
}

storage::~storage()
{
    for (int fd : fds_)
        ::close(fd);
}

bool storage::sectors_inside(std::uint64_t sector, std::uint64_t count) const
{
    return sector <= sectors_ && count <= sectors_ - sector;
}

bool storage::bytes_inside(std::uint64_t offset, std::uint64_t len) const
{
    const std::uint64_t total = sectors_ * sector_size_;
    return offset <= total && len <= total - offset;
}

void storage::check(unsigned lun, std::uint64_t offset, std::uint64_t len) const
{
    if (!has_lun(lun))
        throw std::out_of_range("storage: no LUN " + std::to_string(lun));
    if (!bytes_inside(offset, len))
        throw std::out_of_range("storage: access beyond the end of LUN " + std::to_string(lun));
}

void storage::read(unsigned lun, std::uint64_t offset, void* dst, std::size_t len) const
{
    check(lun, offset, len);
    auto* p = static_cast<unsigned char*>(dst);
    while (len > 0) {
        const ssize_t n = ::pread(fds_[lun], p, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            sys_fail("read");
        if (n == 0) {  // a file shortened behind our back reads as erased
            std::memset(p, 0, len);
            return;
        }
        p += n;
        offset += static_cast<std::uint64_t>(n);
        len -= static_cast<std::size_t>(n);
    }
}

void storage::write(unsigned lun, std::uint64_t offset, const void* src, std::size_t len)
{
    check(lun, offset, len);
    const auto* p = static_cast<const unsigned char*>(src);
    // Runs of whole granules that are all zeros or all not; each run is one call.
    auto granule_end = [&](std::size_t at) {
        return std::min<std::size_t>(len, at + static_cast<std::size_t>(hole_granule - (offset + at) % hole_granule));
    };
    std::size_t at = 0;
    while (at < len) {
        std::size_t end = granule_end(at);
        const bool zero = all_zero(p + at, end - at);
        while (end < len) {
            const std::size_t next = granule_end(end);
            if (all_zero(p + end, next - end) != zero)
                break;
            end = next;
        }
        if (zero)
            put_zeros(fds_[lun], offset + at, end - at);
        else
            put_bytes(fds_[lun], offset + at, p + at, end - at);
        at = end;
    }
}

void storage::zero(unsigned lun, std::uint64_t offset, std::uint64_t len)
{
    check(lun, offset, len);
    if (len > 0)
        put_zeros(fds_[lun], offset, len);
}

void storage::for_each_piece(unsigned lun, std::uint64_t offset, std::uint64_t len,
                             const std::function<void(const unsigned char*, std::size_t)>& use) const
{
    check(lun, offset, len);
    std::vector<unsigned char> piece(static_cast<std::size_t>(std::min<std::uint64_t>(len, read_piece)));
    while (len > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(len, piece.size()));
        read(lun, offset, piece.data(), n);
        use(piece.data(), n);
        offset += n;
        len -= n;
    }
}

std::uint32_t storage::crc32(unsigned lun, std::uint64_t sector, std::uint64_t len) const
{
    if (sector > sectors_)
        throw std::out_of_range("storage: CRC start beyond the end of the LUN");
    uLong crc = ::crc32(0L, Z_NULL, 0);
    for_each_piece(lun, sector * sector_size_, len, [&crc](const unsigned char* p, std::size_t n) {
        crc = ::crc32(crc, p, static_cast<uInt>(n));
    });
    return static_cast<std::uint32_t>(crc);
}

std::array<unsigned char, 32> storage::sha256(unsigned lun, std::uint64_t offset, std::uint64_t len) const
{
    struct context_free {
        void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
    };
    const std::unique_ptr<EVP_MD_CTX, context_free> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("storage: SHA-256 unavailable");
    bool ok = true;
    for_each_piece(lun, offset, len, [&](const unsigned char* p, std::size_t n) {
        ok = ok && EVP_DigestUpdate(ctx.get(), p, n) == 1;
    });
    std::array<unsigned char, 32> digest{};
    unsigned int size = 0;
    if (!ok || EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1 || size != digest.size())
        throw std::runtime_error("storage: SHA-256 failed (LUN " + std::to_string(lun) + ")");
    return digest;
}

} // namespace vhandset
