// The handset's storage: one sparse image file per LUN in the state directory
// (lun0.img, lun1.img, ...). eMMC has one LUN of 512-byte sectors, UFS has
// LUNs 0..5 of 4096-byte sectors; every LUN is disk_size bytes. All-zero
// stretches stay holes, so a large disk costs only the room its data takes.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vhandset {

class storage {
public:
    // Opens or creates the LUN images. An image that already has the right size
    // is reused as it is; one of another size is replaced by an empty disk.
    // memory: "emmc" or "ufs" (any case). disk_size: bytes per LUN, rounded down
    // to whole sectors. Throws std::invalid_argument for a bad memory name or a
    // disk smaller than one sector, std::runtime_error (system error text) when
    // a file cannot be made.
    storage(const std::filesystem::path& state_dir, const std::string& memory, std::uint64_t disk_size);
    ~storage();
    storage(const storage&) = delete;
    storage& operator=(const storage&) = delete;

    // "EMMC" or "UFS".
    const std::string& memory_name() const { return name_; }
    std::uint32_t sector_size() const { return sector_size_; }
    unsigned lun_count() const { return static_cast<unsigned>(fds_.size()); }
    bool has_lun(std::uint64_t lun) const { return lun < fds_.size(); }
    std::uint64_t num_sectors() const { return sectors_; }

    // Byte-addressed access. Throw std::out_of_range when the range leaves the
    // LUN or the LUN does not exist, std::runtime_error on I/O errors. Zeros
    // written over a hole leave it a hole; zeros over data punch it out.
    void read(unsigned lun, std::uint64_t offset, void* dst, std::size_t len) const;
    void write(unsigned lun, std::uint64_t offset, const void* src, std::size_t len);
    // Erases: the range reads as zeros and becomes a hole where the file system
    // can punch one. Throws as write().
    void zero(unsigned lun, std::uint64_t offset, std::uint64_t len);

    // CRC-32 (the zlib / GPT polynomial) of `len` bytes starting at `sector`.
    std::uint32_t crc32(unsigned lun, std::uint64_t sector, std::uint64_t len) const;
    // SHA-256 (FIPS 180-4) of `len` bytes from byte `offset`. Throws as read(),
    // and std::runtime_error when the digest cannot be computed.
    std::array<unsigned char, 32> sha256(unsigned lun, std::uint64_t offset, std::uint64_t len) const;

    // True when [sector, sector + count) lies inside the LUN (no overflow).
    bool sectors_inside(std::uint64_t sector, std::uint64_t count) const;
    bool bytes_inside(std::uint64_t offset, std::uint64_t len) const;

private:
    void check(unsigned lun, std::uint64_t offset, std::uint64_t len) const;
    // Reads the range in pieces and hands each to `use`, in order.
    void for_each_piece(unsigned lun, std::uint64_t offset, std::uint64_t len,
                        const std::function<void(const unsigned char*, std::size_t)>& use) const;

    std::string name_;
    std::uint32_t sector_size_ = 0;
    std::uint64_t sectors_ = 0;
    std::vector<int> fds_;
};

} // namespace vhandset
