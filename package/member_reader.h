// One archive member, inflated as it is read: the way every member of any size
// leaves the package, in pieces the caller chooses, so nothing the size of a
// partition is held in memory.
//
// A reader belongs to the fwpkg that opened it and must not be used after that
// package is closed: close() ends every reader still open, and a later read
// throws "fwpkg: not open" instead of touching a closed archive.
#pragma once

#include "byte_source.h"

#include <cstdint>
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
    member_reader(fwpkg* owner, zip_file_t* file, std::string name, std::uint64_t size);
    void release();
    // Called by the owning package when it closes the archive under the reader.
    void detach();
    // Remembers the failure (later reads throw it again), ends the reader, throws.
    [[noreturn]] void fail(const std::string& reason);
    [[noreturn]] void fail_from_archive();

    fwpkg* owner_ = nullptr;
    zip_file_t* file_ = nullptr;
    std::string name_;
    std::uint64_t size_ = 0;
    std::uint64_t delivered_ = 0;
    bool ended_ = false;
    std::string failure_;
};
