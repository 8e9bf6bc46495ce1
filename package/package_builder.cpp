#include "package_builder.h"

#include "byte_order.h"
#include "file.h"
#include "fwpkg.h"
#include "log.h"
#include "md5.h"
#include "scrozzler.h"
#include "sha256.h"
#include "zip_errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include <zip.h>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t chunk_size = fwpkg_window_size;
constexpr std::size_t md5_size = 16;
constexpr std::size_t sha256_size = 32;
// Every member carries the same date so the same input packs to the same bytes.
constexpr int fixed_year = 2020;
// zlib's default trade-off, as packages always had: libzip would otherwise
// take level 9, which costs much time on multi-GiB images for little gain.
constexpr zip_uint32_t deflate_level = 6;

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
// the header, so libzip sees offsets relative to the payload start. libzip
// writes forward and seeks back only to complete local headers.
struct payload_sink {
    int fd = -1;
    std::uint64_t position = 0;
    std::uint64_t read_position = 0;
    std::uint64_t length = 0;
    zip_error_t error{};
};

zip_int64_t sink_failed(payload_sink& s, int zip_error, int system_error)
{
    zip_error_set(&s.error, zip_error, system_error);
    return -1;
}

zip_int64_t sink_callback(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t command)
{
    payload_sink& s = *static_cast<payload_sink*>(userdata);
    try {
        switch (command) {
        case ZIP_SOURCE_STAT:
            // A new archive: libzip takes ENOENT from a read as "does not exist yet".
            return sink_failed(s, ZIP_ER_READ, ENOENT);
        case ZIP_SOURCE_BEGIN_WRITE:
            s.position = 0;
            s.length = 0;
            return 0;
        case ZIP_SOURCE_WRITE:
            write_all_at(s.fd, data, len, fwpkg_header_size + s.position);
            s.position += len;
            s.length = std::max(s.length, s.position);
            return static_cast<zip_int64_t>(len);
        case ZIP_SOURCE_SEEK_WRITE: {
            const zip_int64_t target = zip_source_seek_compute_offset(s.position, s.length, data, len, &s.error);
            if (target < 0)
                return -1;
            s.position = static_cast<std::uint64_t>(target);
            return 0;
        }
        case ZIP_SOURCE_TELL_WRITE:
            return static_cast<zip_int64_t>(s.position);
        case ZIP_SOURCE_COMMIT_WRITE:
        case ZIP_SOURCE_ROLLBACK_WRITE:
        case ZIP_SOURCE_REMOVE:
        case ZIP_SOURCE_OPEN:
        case ZIP_SOURCE_CLOSE:
        case ZIP_SOURCE_FREE:
            return 0;
        case ZIP_SOURCE_READ: {
            const std::size_t n = read_full_at(s.fd, data, len, fwpkg_header_size + s.read_position);
            s.read_position += n;
            return static_cast<zip_int64_t>(n);
        }
        case ZIP_SOURCE_SEEK: {
            const zip_int64_t target = zip_source_seek_compute_offset(s.read_position, s.length, data, len, &s.error);
            if (target < 0)
                return -1;
            s.read_position = static_cast<std::uint64_t>(target);
            return 0;
        }
        case ZIP_SOURCE_TELL:
            return static_cast<zip_int64_t>(s.read_position);
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&s.error, data, len);
        case ZIP_SOURCE_SUPPORTS:
            return ZIP_SOURCE_SUPPORTS_WRITABLE;
        default:
            return sink_failed(s, ZIP_ER_OPNOTSUPP, 0);
        }
    } catch (const std::runtime_error&) {
        return sink_failed(s, command == ZIP_SOURCE_READ ? ZIP_ER_READ : ZIP_ER_WRITE, errno != 0 ? errno : EIO);
    }
}

// Owns the archive being built; close() writes it, the destructor discards an
// archive that was never closed.
class zip_writer {
public:
    explicit zip_writer(payload_sink& sink)
    {
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t* source = zip_source_function_create(sink_callback, &sink, &error);
        if (source != nullptr) {
            zip_ = zip_open_from_source(source, ZIP_CREATE | ZIP_TRUNCATE, &error);
            if (zip_ == nullptr)
                zip_source_free(source);
        }
        const std::string why = zip_ == nullptr ? zip_error_text(error) : "";
        zip_error_fini(&error);
        if (zip_ == nullptr)
            fail("cannot start the archive: " + why);
    }
    zip_writer(const zip_writer&) = delete;
    zip_writer& operator=(const zip_writer&) = delete;
    ~zip_writer()
    {
        if (zip_ != nullptr)
            zip_discard(zip_);
    }
    zip_t* get() const { return zip_; }
    // Returns libzip's reason on failure (the archive is then discarded).
    bool close(std::string& why)
    {
        if (zip_close(zip_) == 0) {
            zip_ = nullptr;
            return true;
        }
        why = zip_error_text(*zip_get_error(zip_));
        return false;
    }

private:
    zip_t* zip_ = nullptr;
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

bool inside(const fs::path& path, const fs::path& root)
{
    const fs::path rel = path.lexically_relative(root);
    return !rel.empty() && *rel.begin() != "..";
}

// A link to a directory is not followed: one that leads out of the folder
// would pack whatever it points at (the whole disk, or a loop), one that
// stays inside names files that are packed under their own names anyway.
void check_directory_link(const fs::directory_entry& entry, const std::string& dir, const fs::path& root)
{
    std::error_code ec;
    const fs::path target = fs::canonical(entry.path(), ec);
    if (ec || !inside(target, root))
        fail(entry.path().string() + " links to the directory " + (ec ? fs::read_symlink(entry.path(), ec) : target).string() +
             " outside " + dir + "; links to directories are not followed: copy its files into the folder");
    log_info("pack: %s links to a directory inside the folder; packed under its own name only\n",
             entry.path().c_str());
}

std::vector<member> collect_members(const std::string& dir, const std::string& out_path)
{
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        fail("not a directory: " + dir);
    const fs::path root = fs::canonical(dir, ec);
    if (ec)
        fail("cannot read " + dir + ": " + ec.message());
    std::vector<member> members;
    fs::recursive_directory_iterator it(dir, fs::directory_options::none, ec);
    if (ec)
        fail("cannot read " + dir + ": " + ec.message());
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec)
            fail("cannot read " + dir + ": " + ec.message());
        const fs::directory_entry& entry = *it;
        if (entry.is_symlink(ec) && entry.is_directory(ec)) {
            check_directory_link(entry, dir, root);
            continue;
        }
        // Links to files are followed: the member holds the file's bytes.
        if (!entry.is_regular_file(ec))
            continue;
        // Packing into the packed directory must not swallow its own output.
        if (same_file(entry.path(), out_path))
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

// 2020-01-01 00:00 in local time: libzip turns it back into a DOS date in
// local time, so every member carries that date whatever the time zone.
time_t fixed_time()
{
    std::tm t{};
    t.tm_year = fixed_year - 1900;
    t.tm_mon = 0;
    t.tm_mday = 1;
    t.tm_isdst = -1;
    return std::mktime(&t);
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

// One member's bytes for libzip, read from its file while the archive is
// written. The size is known up front, so libzip writes zip64 fields only for
// a member that needs them. A file that changes under us fails the pack.
struct member_source {
    static constexpr std::size_t read_ahead = 1u << 20;

    const member* m = nullptr;
    pack_progress* progress = nullptr;
    file in;
    std::uint64_t done = 0;         // bytes handed to libzip
    std::vector<std::uint8_t> ahead;  // libzip asks for 8 KiB at a time; the file is read in 1 MiB
    std::size_t ahead_pos = 0;
    std::string failure;  // ours to report; libzip only knows "read error"
    zip_error_t error{};
};

zip_int64_t member_failed(member_source& s, const std::string& why)
{
    if (s.failure.empty())
        s.failure = why;
    zip_error_set(&s.error, ZIP_ER_READ, errno != 0 ? errno : EIO);
    return -1;
}

zip_int64_t member_read(member_source& s, void* data, zip_uint64_t len)
{
    const std::string source = s.m->source.string();
    if (s.done == s.m->size) {
        std::uint8_t probe;
        if (len > 0 && read_full_at(s.in.descriptor(), &probe, 1, s.done) != 0)
            return member_failed(s, source + " changed while packing");
        return 0;
    }
    if (s.ahead_pos == s.ahead.size()) {
        const std::uint64_t file_pos = s.done;
        s.ahead.resize(static_cast<std::size_t>(std::min<std::uint64_t>(member_source::read_ahead, s.m->size - file_pos)));
        s.ahead_pos = 0;
        if (read_full_at(s.in.descriptor(), s.ahead.data(), s.ahead.size(), file_pos) != s.ahead.size())
            return member_failed(s, source + " changed while packing");
    }
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(len, s.ahead.size() - s.ahead_pos));
    std::memcpy(data, s.ahead.data() + s.ahead_pos, n);
    s.ahead_pos += n;
    s.done += n;
    s.progress->compressed(n);
    return static_cast<zip_int64_t>(n);
}

zip_int64_t member_callback(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t command)
{
    member_source& s = *static_cast<member_source*>(userdata);
    try {
        switch (command) {
        case ZIP_SOURCE_OPEN:
            s.in.open_existing(s.m->source.string(), true);
            s.done = 0;
            s.ahead.clear();
            s.ahead_pos = 0;
            return 0;
        case ZIP_SOURCE_READ:
            return member_read(s, data, len);
        case ZIP_SOURCE_CLOSE:
            s.in.close();
            s.ahead = {};
            return 0;
        case ZIP_SOURCE_STAT: {
            auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, len, &s.error);
            if (st == nullptr)
                return -1;
            zip_stat_init(st);
            st->size = s.m->size;
            st->mtime = fixed_time();
            st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
            return sizeof(zip_stat_t);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&s.error, data, len);
        case ZIP_SOURCE_FREE:
            return 0;
        case ZIP_SOURCE_SUPPORTS:
            return ZIP_SOURCE_SUPPORTS_READABLE;
        default:
            zip_error_set(&s.error, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    } catch (const std::runtime_error& e) {
        return member_failed(s, "cannot read " + s.m->source.string() + ": " + e.what());
    }
}

void add_member(zip_t* zip, member_source& state)
{
    const std::string& name = state.m->name;
    zip_error_init(&state.error);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_function_create(member_callback, &state, &error);
    zip_error_fini(&error);
    if (source == nullptr)
        fail("cannot add " + name + ": out of memory");
    const zip_int64_t index = zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_GUESS);
    if (index < 0) {
        zip_source_free(source);
        fail("cannot add " + name + ": " + zip_error_text(*zip_get_error(zip)));
    }
    const auto i = static_cast<zip_uint64_t>(index);
    // Plain files readable by everyone when unpacked by hand.
    constexpr zip_uint32_t regular_file_0644 = 0100644u << 16;
    if (zip_set_file_compression(zip, i, ZIP_CM_DEFLATE, deflate_level) != 0 || zip_file_set_mtime(zip, i, fixed_time(), 0) != 0 ||
        zip_file_set_external_attributes(zip, i, 0, ZIP_OPSYS_UNIX, regular_file_0644) != 0)
        fail("cannot add " + name + ": " + zip_error_text(*zip_get_error(zip)));
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

void write_header(int fd, std::uint64_t length, const std::uint8_t (&md5)[md5_size],
                  const std::uint8_t (&sha)[sha256_size], const scrozzler& key)
{
    const header_bytes h = encode_header(length, md5, sha, key);
    write_all_at(fd, h.data(), h.size(), 0);
}

} // namespace

void pack_directory(const std::string& dir, const std::string& out_path, const pack_progress_fn& progress_fn)
{
    const std::vector<member> members = collect_members(dir, out_path);
    if (members.empty())
        fail(dir + " holds no files to pack");
    std::uint64_t input_total = 0;
    for (const member& m : members)
        input_total += m.size;
    pack_progress progress(progress_fn, input_total);

    // `brv pack -o` replaces an earlier package of that name.
    replacement_file out(out_path, true);
    payload_sink sink;
    sink.fd = out.descriptor();
    zip_error_init(&sink.error);

    // Declared before the archive, which reads them until it is closed.
    std::vector<member_source> sources(members.size());
    {
        zip_writer zip(sink);
        for (std::size_t i = 0; i < members.size(); ++i) {
            sources[i].m = &members[i];
            sources[i].progress = &progress;
            add_member(zip.get(), sources[i]);
        }
        // libzip reads, compresses and writes every member here.
        std::string why;
        if (!zip.close(why)) {
            for (const member_source& s : sources)
                if (!s.failure.empty())
                    fail(s.failure);
            fail("cannot write " + out.temporary_path() + ": " + why);
        }
    }

    const std::uint64_t length = sink.length;
    std::vector<std::uint8_t> chunk(chunk_size);
    const scrozzler key(fwpkg_window_size, static_cast<std::uint32_t>(length));
    std::uint8_t md5[md5_size];
    std::uint8_t sha[sha256_size];
    seal_payload(out.descriptor(), length, chunk, progress, md5, sha, key);
    write_header(out.descriptor(), length, md5, sha, key);
    if (::ftruncate(out.descriptor(), static_cast<off_t>(fwpkg_header_size + length)) != 0)
        fail_errno("cannot write " + out.temporary_path());
    out.commit();
}
