// Owner of one open file descriptor. Every failing system call becomes a
// std::runtime_error whose message is the system's error text (prefixed with
// "file: cannot open: " for the two opening calls); a failed open leaves the
// file closed. Paths given to open_existing/create have a leading tilde expanded
// and are refused (ENAMETOOLONG) when the result would not fit 1023 characters.
#pragma once

#include "buffer.h"

#include <cstdint>
#include <string>

class file {
public:
    enum class origin { start, current, end };

    file() = default;
    file(const file&) = delete;
    file& operator=(const file&) = delete;
    virtual ~file() { close(); }

    bool open() const { return fd_ != -1; }
    int descriptor() const { return fd_; }

    void open_existing(const std::string& path, bool read_only);
    // Creates (or truncates) the file. exclusive: only a new file, never one
    // that exists or a symbolic link in its place (fails with EEXIST).
    void create(const std::string& path, bool exclusive);
    void close();

    std::uint64_t size() const;
    std::uint64_t seek(std::int64_t offset, origin from);
    std::uint64_t tell() const;

    // Reads up to b.size() bytes, then resizes b to what was read (0 at end).
    void read(buffer& b);
    // A new buffer with up to count bytes.
    buffer read(std::uint64_t count);
    // Up to count bytes into dst; returns the number read. Retries on EINTR only.
    std::uint64_t read(void* dst, std::uint64_t count);

    // One write call; returns the number of bytes written (short writes are returned).
    std::uint64_t write(const buffer& b);
    std::uint64_t write(const void* src, std::uint64_t count);
    std::uint64_t write(const std::string& s);

    // Private (copy-on-write) mapping of the first length bytes; writable when
    // read_only is false. A length of 0 maps nothing and returns nullptr.
    void* map(std::uint64_t length, bool read_only);
    static void unmap(void* address, std::uint64_t length);

    static void unlink(const std::string& path);

private:
    friend class replacement_file;
    // Creates "<target>.tmp.XXXXXX" new (O_EXCL, never through a link) beside
    // the target and opens it for writing; returns its path.
    std::string create_temporary(const std::string& target);

    int fd_ = -1;
};

// A file that appears under its name only once it is complete. The bytes go to
// a temporary created new beside the target ("<path>.tmp." and six random
// characters; an existing file or link of that name is never opened, another
// name is drawn instead); commit() flushes it to disk and renames it to the
// target; a failed commit, or destruction without a commit, removes it.
// With replace_existing false a file already at the target is never replaced:
// commit() then throws "file: <path> exists". The target has a leading tilde
// expanded as file::create does; creating the temporary fails as file::create
// ("file: cannot open: ...").
class replacement_file {
public:
    replacement_file(const std::string& path, bool replace_existing);
    replacement_file(const replacement_file&) = delete;
    replacement_file& operator=(const replacement_file&) = delete;
    ~replacement_file();

    const std::string& temporary_path() const { return temporary_; }
    int descriptor() const { return out_.descriptor(); }

    // Writes every byte; throws "<temporary path>: nothing written (disk
    // full?)" when the system takes none of them.
    void write(const void* src, std::uint64_t count);

    // fsync, then the rename ("file: cannot write <temporary>: ..." and
    // "file: cannot rename <temporary> to <path>: ..." on failure).
    void commit();

private:
    void put_in_place();
    // Closes and removes the temporary unless it was renamed already.
    void discard();

    std::string target_;
    std::string temporary_;
    bool replace_existing_;
    bool settled_ = false;  // renamed into place, or removed
    file out_;
};

// A read-only mapping of a whole file that unmaps itself.
class file_mapping {
public:
    explicit file_mapping(const std::string& path);
    file_mapping(const file_mapping&) = delete;
    file_mapping& operator=(const file_mapping&) = delete;
    ~file_mapping() { file::unmap(data_, size_); }

    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(data_); }
    std::uint64_t size() const { return size_; }

private:
    file file_;
    std::uint64_t size_ = 0;
    void* data_ = nullptr;
};
