#include "package_builder.h"

#include "file.h"
#include "fwpkg.h"
#include "md5.h"
#include "scrozzler.h"
#include "sha256.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include <minizip/zip.h>
#include <zlib.h>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t chunk_size = fwpkg_window_size;
constexpr std::uint64_t zip64_threshold = 0xffffffffull;
constexpr std::size_t header_plain_bytes = 4;
constexpr std::uint8_t brv_magic[4] = {'B', 'R', 'V', 0};
constexpr std::size_t md5_size = 16;
constexpr std::size_t sha256_size = 32;
// Every member carries the same date so the same input packs to the same bytes.
constexpr int fixed_year = 2020;
// zip stores the "version made by" host in the high byte; 3 is Unix.
constexpr uLong made_by_unix = 3u << 8;

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error("pack: " + what);
}

[[noreturn]] void fail_errno(const std::string& what)
{
    fail(what + ": " + std::strerror(errno));
}

void write_all_at(int fd, const void* src, std::size_t n, std::uint64_t offset)
{
    const auto* p = static_cast<const std::uint8_t*>(src);
    while (n > 0) {
        const ssize_t r = ::pwrite(fd, p, n, static_cast<off_t>(offset));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            fail_errno("write failed");
        }
        p += r;
        n -= static_cast<std::size_t>(r);
        offset += static_cast<std::uint64_t>(r);
    }
}

// Fills dst completely unless the file ends first; returns the bytes read.
std::size_t read_full_at(int fd, void* dst, std::size_t n, std::uint64_t offset)
{
    auto* p = static_cast<std::uint8_t*>(dst);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pread(fd, p + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            fail_errno("read failed");
        }
        if (r == 0)
            break;
        done += static_cast<std::size_t>(r);
    }
    return done;
}

// The zip is written straight into the package file behind the room left for
// the header, so minizip sees offsets relative to the payload start.
struct payload_sink {
    int fd = -1;
    std::uint64_t position = 0;
    std::uint64_t length = 0;
    int error = 0;
};

voidpf ZCALLBACK sink_open(voidpf opaque, const void*, int mode)
{
    if ((mode & ZLIB_FILEFUNC_MODE_WRITE) == 0)
        return nullptr;
    return opaque;
}

uLong ZCALLBACK sink_read(voidpf, voidpf stream, void* buf, uLong size)
{
    auto* s = static_cast<payload_sink*>(stream);
    try {
        const std::size_t n = read_full_at(s->fd, buf, size, fwpkg_header_size + s->position);
        s->position += n;
        return n;
    } catch (const std::runtime_error&) {
        s->error = errno;
        return 0;
    }
}

uLong ZCALLBACK sink_write(voidpf, voidpf stream, const void* buf, uLong size)
{
    auto* s = static_cast<payload_sink*>(stream);
    try {
        write_all_at(s->fd, buf, size, fwpkg_header_size + s->position);
    } catch (const std::runtime_error&) {
        s->error = errno;
        return 0;
    }
    s->position += size;
    s->length = std::max(s->length, s->position);
    return size;
}

ZPOS64_T ZCALLBACK sink_tell(voidpf, voidpf stream)
{
    return static_cast<payload_sink*>(stream)->position;
}

long ZCALLBACK sink_seek(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    auto* s = static_cast<payload_sink*>(stream);
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET: s->position = offset; return 0;
    case ZLIB_FILEFUNC_SEEK_CUR: s->position += offset; return 0;
    case ZLIB_FILEFUNC_SEEK_END: s->position = s->length + offset; return 0;
    default: return -1;
    }
}

int ZCALLBACK sink_close(voidpf, voidpf)
{
    return 0;
}

int ZCALLBACK sink_error(voidpf, voidpf stream)
{
    return static_cast<payload_sink*>(stream)->error;
}

// Removes the temporary package unless it was renamed into place.
class temp_output {
public:
    explicit temp_output(std::string path) : path_(std::move(path)) {}
    temp_output(const temp_output&) = delete;
    temp_output& operator=(const temp_output&) = delete;
    ~temp_output()
    {
        if (!committed_)
            ::unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }
    void commit(const std::string& final_path)
    {
        if (::rename(path_.c_str(), final_path.c_str()) != 0)
            fail_errno("cannot rename " + path_ + " to " + final_path);
        committed_ = true;
    }

private:
    std::string path_;
    bool committed_ = false;
};

// Closes the archive on every path; close() reports failure for the good one.
class zip_writer {
public:
    explicit zip_writer(zlib_filefunc64_def& io)
    {
        zip_ = zipOpen2_64("payload", APPEND_STATUS_CREATE, nullptr, &io);
        if (!zip_)
            fail("cannot start the archive");
    }
    zip_writer(const zip_writer&) = delete;
    zip_writer& operator=(const zip_writer&) = delete;
    ~zip_writer()
    {
        if (zip_)
            zipClose(zip_, nullptr);
    }
    zipFile get() const { return zip_; }
    void close()
    {
        const int r = zipClose(zip_, nullptr);
        zip_ = nullptr;
        if (r != ZIP_OK)
            fail("cannot finish the archive");
    }

private:
    zipFile zip_ = nullptr;
};

struct member {
    std::string name;  // '/'-separated, relative to the packed directory
    fs::path source;
    std::uint64_t size = 0;
};

bool same_file(const fs::path& a, const fs::path& b)
{
    std::error_code ec;
    return fs::equivalent(a, b, ec);
}

std::vector<member> collect_members(const std::string& dir, const std::string& out_path, const std::string& tmp_path)
{
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        fail("not a directory: " + dir);
    std::vector<member> members;
    fs::recursive_directory_iterator it(dir, fs::directory_options::follow_directory_symlink, ec);
    if (ec)
        fail("cannot read " + dir + ": " + ec.message());
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            fail("cannot read " + dir + ": " + ec.message());
        const fs::directory_entry& entry = *it;
        if (!entry.is_regular_file(ec))
            continue;
        // Packing into the packed directory must not swallow its own output.
        if (same_file(entry.path(), out_path) || same_file(entry.path(), tmp_path))
            continue;
        member m;
        m.source = entry.path();
        m.name = entry.path().lexically_relative(dir).generic_string();
        m.size = entry.file_size(ec);
        if (ec)
            fail("cannot read " + m.source.string() + ": " + ec.message());
        members.push_back(std::move(m));
    }
    if (ec)
        fail("cannot read " + dir + ": " + ec.message());
    std::sort(members.begin(), members.end(), [](const member& a, const member& b) { return a.name < b.name; });
    return members;
}

zip_fileinfo fixed_info()
{
    zip_fileinfo info{};
    info.tmz_date.tm_year = fixed_year;
    info.tmz_date.tm_mon = 0;
    info.tmz_date.tm_mday = 1;
    return info;
}

// Reports (done, total) where total counts every input byte twice: once while
// compressing, once (scaled from the archive's length) while scrambling.
class pack_progress {
public:
    pack_progress(const pack_progress_fn& fn, std::uint64_t input_total) : fn_(fn), input_(input_total) {}
    void compressed(std::uint64_t n)
    {
        done_ += n;
        report(done_);
    }
    void scrambled(std::uint64_t done, std::uint64_t length)
    {
        const std::uint64_t scaled = length ? static_cast<std::uint64_t>(static_cast<long double>(done) * input_ / length) : input_;
        report(input_ + scaled);
    }

private:
    void report(std::uint64_t done) const
    {
        if (fn_)
            fn_(std::min(done, 2 * input_), 2 * input_);
    }
    const pack_progress_fn& fn_;
    std::uint64_t input_;
    std::uint64_t done_ = 0;
};

void add_member(zipFile zip, const member& m, std::vector<std::uint8_t>& chunk, pack_progress& progress)
{
    file in;
    in.open_existing(m.source.string(), true);
    const zip_fileinfo info = fixed_info();
    const int zip64 = m.size >= zip64_threshold ? 1 : 0;
    if (zipOpenNewFileInZip4_64(zip, m.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                made_by_unix, 0, zip64) != ZIP_OK)
        fail("cannot add " + m.name);
    std::uint64_t done = 0;
    while (done < m.size) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), m.size - done));
        const std::size_t got = read_full_at(in.descriptor(), chunk.data(), want, done);
        if (got != want)
            fail(m.source.string() + " changed while packing");
        if (zipWriteInFileInZip(zip, chunk.data(), static_cast<unsigned>(got)) != ZIP_OK)
            fail("cannot write " + m.name);
        done += got;
        progress.compressed(got);
    }
    std::uint8_t probe;
    if (read_full_at(in.descriptor(), &probe, 1, done) != 0)
        fail(m.source.string() + " changed while packing");
    if (zipCloseFileInZip(zip) != ZIP_OK)
        fail("cannot write " + m.name);
}

void put_be(std::uint8_t* p, std::uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(v);
        v >>= 8;
    }
}

// Digests the plain archive and scrambles it in place, chunk by chunk, so
// chunk k meets the key from its start (chunks are key-sized).
void seal_payload(int fd, std::uint64_t length, std::vector<std::uint8_t>& chunk, pack_progress& progress,
                  std::uint8_t md5_out[md5_size], std::uint8_t sha_out[sha256_size], const scrozzler& key)
{
    md5_ctx md5;
    sha256_ctx sha;
    md5_init(&md5);
    sha256_init(&sha);
    for (std::uint64_t offset = 0; offset < length; offset += chunk.size()) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), length - offset));
        if (read_full_at(fd, chunk.data(), n, fwpkg_header_size + offset) != n)
            fail("archive shorter than written");
        md5_update(&md5, chunk.data(), n);
        sha256_update(&sha, chunk.data(), static_cast<std::int32_t>(n));
        key.scramble(chunk.data(), n);
        write_all_at(fd, chunk.data(), n, fwpkg_header_size + offset);
        progress.scrambled(offset + n, length);
    }
    md5_final(&md5, md5_out);
    sha256_final(&sha, sha_out);
}

void write_header(int fd, std::uint64_t length, const std::uint8_t md5[md5_size], const std::uint8_t sha[sha256_size],
                  const scrozzler& key)
{
    std::uint8_t h[fwpkg_header_size] = {};
    std::uint8_t* p = h;
    std::memcpy(p, brv_magic, sizeof brv_magic);
    p += sizeof brv_magic;
    std::memcpy(p, brv_magic, sizeof brv_magic);
    p += sizeof brv_magic;
    put_be(p, fwpkg_version, sizeof(std::uint32_t));
    p += sizeof(std::uint32_t);
    put_be(p, length, sizeof(std::uint64_t));
    p += sizeof(std::uint64_t);
    std::memcpy(p, md5, md5_size);
    p += md5_size;
    std::memcpy(p, sha, sha256_size);
    // Header byte i meets key byte i; the leading magic stays readable.
    key.scramble(h, sizeof h);
    std::memcpy(h, brv_magic, header_plain_bytes);
    write_all_at(fd, h, sizeof h, 0);
}

} // namespace

void pack_directory(const std::string& dir, const std::string& out_path, const pack_progress_fn& progress_fn)
{
    const std::string tmp_path = out_path + ".tmp";
    const std::vector<member> members = collect_members(dir, out_path, tmp_path);
    std::uint64_t input_total = 0;
    for (const member& m : members)
        input_total += m.size;
    pack_progress progress(progress_fn, input_total);

    file out;
    out.create(tmp_path, false);
    temp_output tmp(tmp_path);
    payload_sink sink;
    sink.fd = out.descriptor();
    zlib_filefunc64_def io{};
    io.zopen64_file = sink_open;
    io.zread_file = sink_read;
    io.zwrite_file = sink_write;
    io.ztell64_file = sink_tell;
    io.zseek64_file = sink_seek;
    io.zclose_file = sink_close;
    io.zerror_file = sink_error;
    io.opaque = &sink;

    std::vector<std::uint8_t> chunk(chunk_size);
    {
        zip_writer zip(io);
        for (const member& m : members)
            add_member(zip.get(), m, chunk, progress);
        zip.close();
    }
    if (sink.error != 0) {
        errno = sink.error;
        fail_errno("cannot write " + tmp_path);
    }

    const std::uint64_t length = sink.length;
    const scrozzler key(fwpkg_window_size, static_cast<std::uint32_t>(length));
    std::uint8_t md5[md5_size];
    std::uint8_t sha[sha256_size];
    seal_payload(out.descriptor(), length, chunk, progress, md5, sha, key);
    write_header(out.descriptor(), length, md5, sha, key);
    if (::ftruncate(out.descriptor(), static_cast<off_t>(fwpkg_header_size + length)) != 0)
        fail_errno("cannot write " + tmp_path);
    if (::fsync(out.descriptor()) != 0)
        fail_errno("cannot write " + tmp_path);
    out.close();
    tmp.commit(out_path);
}
