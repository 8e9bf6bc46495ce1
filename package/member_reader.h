// One archive member, inflated as it is read: the way every member of any size
// leaves the package, in pieces the caller chooses, so nothing the size of a
// partition is held in memory. Stored and deflated members are taken from
// libzip as their raw bytes and inflated with ISA-L, which keeps up with a
// SuperSpeed link where zlib does not; the CRC is checked all the same.
//
// A reader belongs to the fwpkg that opened it and must not be used after that
// package is closed: close() ends every reader still open, and a later read
// throws "fwpkg: not open" instead of touching a closed archive.
#pragma once

#include "byte_source.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

typedef struct zip_file zip_file_t;
class fwpkg;

class member_reader : public byte_source {
public:
    member_reader(member_reader&& other) noexcept;
    member_reader& operator=(member_reader&& other) noexcept;
    member_reader(const member_reader&) = delete;
    member_reader& operator=(const member_reader&) = delete;
    ~member_reader() override;

    const std::string& name() const { return name_; }
    // The uncompressed size the archive's directory gives.
    std::uint64_t size() const { return size_; }

    // Up to len bytes; 0 only at the end of the member. The piece that reaches
    // the end is handed out only once the member's CRC has been checked, and
    // the member never yields more than its directory size. A CRC mismatch, a
    // damaged deflate stream or local header, or a member that ends early or
    // runs long throws std::runtime_error "fwpkg: corrupt member <name>" (a CRC
    // mismatch exactly so, other reasons after a colon); a read error of the
    // package file throws with its own text. Never a short count that reads as
    // the end.
    std::size_t read(std::uint8_t* out, std::size_t len) override;

private:
    friend class fwpkg;
    // How the member's bytes come out of libzip.
    struct raw_member {
        bool deflated = false;  // else stored
        std::uint32_t crc = 0;  // the directory's CRC-32 of the member
    };
    // file delivers the member's data (inflated by libzip), or with `raw` its
    // stored bytes as they lie in the archive (ZIP_FL_COMPRESSED).
    member_reader(fwpkg* owner, zip_file_t* file, std::string name, std::uint64_t size,
                  std::optional<raw_member> raw = std::nullopt);
    void release();
    // Called by the owning package when it closes the archive under the reader.
    void detach();
    // Remembers the failure (later reads throw it again), ends the reader, throws.
    [[noreturn]] void fail(const std::string& reason);
    [[noreturn]] void fail_from_archive();
    [[noreturn]] void fail_longer();
    // Up to `want` bytes of a raw member, inflated here; 0 at the end of its data.
    std::size_t read_raw(std::uint8_t* out, std::size_t want);
    // At the end of a raw member: nothing more in it, and its CRC holds.
    void check_raw_end();

    struct inflater;

    fwpkg* owner_ = nullptr;
    zip_file_t* file_ = nullptr;
    std::string name_;
    std::uint64_t size_ = 0;
    std::uint64_t delivered_ = 0;
    bool ended_ = false;
    std::string failure_;
    std::unique_ptr<inflater> raw_;
};
