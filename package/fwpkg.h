// An open firmware package (.brp): a 256-byte scrambled header (magic, version,
// payload length, MD5 and SHA-256) followed by a scrambled zip archive. The
// archive is read with libzip through a custom source that sits on a 64 KiB
// descrambling window (package_stream.h), so memory use does not grow with the package size, and
// members and archives of 4 GiB or more (zip64) read like any other.
//
// Failures throw std::runtime_error; the package's own messages start with
// "fwpkg: ". open/close/cancel run on the GUI thread, verify and the reads of a
// flash on a worker.
#pragma once

#include "buffer.h"
#include "cancel_request.h"
#include "file.h"
#include "key_values.h"
#include "package_header.h"
#include "member_reader.h"
#include "progress.h"
#include "scrozzler.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <zip.h>

// The largest member read whole (programmers are a few MiB, program files less);
// partition images stream instead.
constexpr std::uint64_t whole_member_cap = 64ull << 20;

// One archive member as the zip's central directory lists it.
struct member_info {
    std::string name;
    std::uint64_t size = 0;             // uncompressed bytes
    std::uint64_t compressed_size = 0;  // bytes stored in the archive
};

struct package_stream;

class fwpkg {
public:
    fwpkg();
    fwpkg(const fwpkg&) = delete;
    fwpkg& operator=(const fwpkg&) = delete;
    ~fwpkg();

    // Throws "fwpkg: already open", "fwpkg: not a regular file (a FIFO)" (a
    // directory, a device...) at once, the file layer's "file: cannot open:
    // ...", "fwpkg: bad file header (<why>)", and metadata errors. Clears a
    // cancel request left from before.
    void open(const std::string& path);
    void close();
    bool is_open() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

    // True when both digests match and the payload opened as an archive;
    // false on mismatch, short read, cancel, or a payload that is not a zip.
    bool verify(progress_handler& handler);
    // The same, handing every byte of the file as stored (the header, then the
    // scrambled payload) to observe in order, so that a check over the whole
    // file (its signature) shares the pass.
    using stored_bytes = std::function<void(const std::uint8_t* data, std::size_t size)>;
    bool verify(progress_handler& handler, const stored_bytes& observe);
    // Why the last verify returned false, in words for the user ("MD5
    // mismatch", "SHA-256 mismatch", "short read at offset N", ...); empty
    // after a verify that succeeded.
    const std::string& verify_failure() const { return verify_failure_; }
    // Asks verify (and whatever else was handed cancellation()) to stop at its
    // next safe point.
    void cancel() { cancelled_.request(); }
    cancel_request& cancellation() { return cancelled_; }
    // Held by whatever reads the package for a long time, so that a verify and
    // a flash never overlap ("Object in use").
    bool* busy_flag() { return &busy_; }

    // One small member whole (programmer, XML); with bound != 0 the result is
    // exactly bound bytes (zero-padded). Throws "Invalid package: cannot read
    // <name>", "buffer too small for file", "fwpkg: <name> is too large: ..."
    // past whole_member_cap, and what member_reader::read throws.
    buffer read_file(const std::string& name, std::uint64_t bound);

    // A streaming reader of one member (see member_reader.h). Throws "Invalid
    // package: cannot read <name>" when there is no such member or no archive,
    // "Invalid package: <name> is a folder of the archive, not a file" for a
    // folder entry ("images/"), "fwpkg: corrupt member <name>: ..." when its
    // local header is damaged. A member stored without data reads as empty.
    member_reader open_member(const std::string& name);
    // The uncompressed size of a member, from the archive's directory (64-bit);
    // throws like open_member when it is missing.
    std::uint64_t member_size(const std::string& name);

    // Every member in archive order. Throws "fwpkg: not open" without a package
    // and "fwpkg: the payload is not a zip archive (<why>)" when it did not open
    // as one (so do the member reads and check_metadata).
    std::vector<member_info> members();

    // Throws "fwpkg: invalid metadata: missing <key> in meta/params.txt" (or
    // names the key whose value is unusable) when the package lacks what a
    // flash needs: memory type, sector size and the three file names.
    void check_metadata() const;

    const fwpkg_header& header() const { return header_; }
    const std::string& device_code_name() const { return device_code_name_; }
    const std::string& device_display_name() const { return device_display_name_; }
    std::uint32_t device_memory_type() const { return device_memory_type_; }
    std::uint32_t device_sector_size() const { return device_sector_size_; }
    const buffer& device_image() const { return device_image_; }
    const buffer& package_notes() const { return package_notes_; }
    const std::string& firehose_filename() const { return firehose_filename_; }
    const std::string& program_filename() const { return program_filename_; }
    const std::string& patch_filename() const { return patch_filename_; }

private:
    // Why the header is unusable (short, or its magic, version or length is
    // wrong), also logged; empty when it is good. File errors throw.
    std::string decode_header(std::uint64_t file_size);
    // Opens the archive behind the header; false (after logging) when the
    // payload is not a zip. Throws for a zip whose names are ambiguous.
    bool open_archive();
    void close_archive();
    void load_metadata();
    // The member's index; throws "Invalid package: cannot read <name>".
    zip_uint64_t locate(const std::string& name);
    // False when the local header at offset does not belong to member index.
    bool local_header_matches(zip_uint64_t index, std::uint64_t offset);

    friend class member_reader;
    void forget_reader(member_reader* reader);

    std::string path_;
    fwpkg_header header_{};
    // The descrambling read window under the archive (package_stream.h).
    std::unique_ptr<package_stream> stream_;
    zip_t* zip_ = nullptr;
    // Member names as stored (bytes, no code page conversion), to their index.
    std::unordered_map<std::string, zip_uint64_t> names_;
    std::vector<member_reader*> readers_;  // open readers, ended by close()
    bool busy_ = false;
    std::string verify_failure_;
    // Why the payload did not open as an archive, for whatever needs a member.
    std::string archive_problem_;
    cancel_request cancelled_;
    std::string device_code_name_;
    std::string device_display_name_;
    std::uint32_t device_memory_type_ = 0;
    std::uint32_t device_sector_size_ = 0;
    buffer device_image_;
    buffer package_notes_;
    std::string firehose_filename_;
    std::string program_filename_;
    std::string patch_filename_;
    key_value_map params_;  // meta/params.txt of the package opened last
};
