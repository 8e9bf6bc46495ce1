#include "package_test_support.h"

#include "byte_order.h"
#include "log.h"
#include "md5.h"
#include "scrozzler.h"
#include "sha256.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <stdexcept>

#include <zlib.h>

namespace fs = std::filesystem;

namespace pkgtest {

namespace {

constexpr std::size_t header_size = 256;
constexpr std::size_t key_size = 65536;
constexpr std::size_t max_comment = 65535;

std::mutex log_lock;
std::vector<std::string> log_lines;

void record_line(const char* line)
{
    std::lock_guard<std::mutex> l(log_lock);
    log_lines.emplace_back(line);
}

constexpr std::uint32_t local_signature = 0x04034b50;
constexpr std::uint32_t central_signature = 0x02014b50;
constexpr std::uint32_t end_signature = 0x06054b50;
constexpr std::uint32_t zip32_max = 0xffffffffu;
constexpr std::uint16_t zip64_extra_id = 0x0001;
constexpr std::uint16_t dos_time = 0;
constexpr std::uint16_t dos_date = (40 << 9) | (1 << 5) | 1;  // 2020-01-01

std::string raw_deflate(const std::string& bytes)
{
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("test: deflateInit2 failed");
    std::string out(deflateBound(&z, bytes.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int r = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (r != Z_STREAM_END)
        throw std::runtime_error("test: deflate failed");
    return out;
}

} // namespace

std::string pattern_bytes(std::size_t n, std::uint32_t seed)
{
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (char& c : out)
        c = static_cast<char>(gen() & 0xff);
    return out;
}

std::string make_zip(const std::vector<zip_member>& members, std::size_t exact_size)
{
    std::string body;
    std::string directory;
    for (const zip_member& m : members) {
        std::string data = m.deflate ? raw_deflate(m.bytes) : m.bytes;
        if (m.cut_data)
            data.resize(data.size() / 2);
        std::uint32_t crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(m.bytes.data()), static_cast<uInt>(m.bytes.size())));
        if (m.wrong_crc)
            crc ^= 0x5a5a5a5au;
        const std::uint64_t size = m.claimed_size != 0 ? m.claimed_size : m.bytes.size();
        const bool zip64 = size >= zip32_max;
        std::string extra;
        if (zip64) {
            append_le16(extra, zip64_extra_id);
            append_le16(extra, 16);
            append_le64(extra, size);
            append_le64(extra, data.size());
        }
        const std::uint64_t offset = body.size();
        auto common = [&](std::string& out) {
            append_le16(out, zip64 ? 45 : 20);  // version needed
            append_le16(out, 0);                // flags
            append_le16(out, m.deflate ? 8 : 0);
            append_le16(out, dos_time);
            append_le16(out, dos_date);
            append_le32(out, crc);
            append_le32(out, zip64 ? zip32_max : data.size());
            append_le32(out, zip64 ? zip32_max : size);
            append_le16(out, m.name.size());
            append_le16(out, extra.size());
        };
        append_le32(body, m.bad_local_header ? local_signature ^ 0x00ff0000u : local_signature);
        common(body);
        body += m.name + extra + data;

        append_le32(directory, central_signature);
        append_le16(directory, 0x031e);  // made by Unix, 3.0
        common(directory);
        append_le16(directory, 0);  // comment length
        append_le16(directory, 0);  // disk
        append_le16(directory, 0);  // internal attributes
        append_le32(directory, 0);  // external attributes
        append_le32(directory, offset);
        directory += m.name + extra;
    }
    std::string end;
    append_le32(end, end_signature);
    append_le32(end, 0);  // disk numbers
    append_le16(end, members.size());
    append_le16(end, members.size());
    append_le32(end, directory.size());
    append_le32(end, body.size());
    std::size_t total = body.size() + directory.size() + end.size() + 2;
    std::string comment;
    if (exact_size != 0) {
        // The comment length field grows the end record by exactly the comment.
        if (exact_size < total || exact_size - total > max_comment)
            throw std::runtime_error("test: archive size not reachable with a comment");
        comment.assign(exact_size - total, 'c');
    }
    append_le16(end, comment.size());
    return body + directory + end + comment;
}

void write_package(const fs::path& path, const std::string& payload, const header_tweak& tweak)
{
    std::uint8_t md5[16];
    std::uint8_t sha[32];
    md5_ctx m;
    md5_init(&m);
    md5_update(&m, payload.data(), payload.size());
    md5_final(&m, md5);
    sha256_ctx s;
    sha256_init(&s);
    // Fed in pieces: the digest takes 32-bit lengths.
    for (std::size_t off = 0; off < payload.size(); off += key_size) {
        const std::size_t n = std::min(key_size, payload.size() - off);
        sha256_update(&s, payload.data() + off, static_cast<std::int32_t>(n));
    }
    sha256_final(&s, sha);

    std::string header;
    header.append(tweak.bad_external_magic ? std::string("BRW", 4) : std::string("BRV", 4));
    header.append(tweak.bad_internal_magic ? std::string("XRV", 4) : std::string("BRV", 4));
    append_be32(header, tweak.version);
    append_be64(header, static_cast<std::uint64_t>(static_cast<std::int64_t>(payload.size()) + tweak.length_delta));
    header.append(reinterpret_cast<const char*>(md5), sizeof md5);
    if (tweak.bad_sha256)
        sha[0] ^= 0x01;
    header.append(reinterpret_cast<const char*>(sha), sizeof sha);
    header.resize(header_size, '\0');

    const scrozzler key(key_size, static_cast<std::uint32_t>(payload.size()));
    std::string plain_magic = header.substr(0, 4);
    key.scramble(header.data(), header.size());
    header.replace(0, 4, plain_magic);

    std::string body = payload;
    for (std::size_t off = 0; off < body.size(); off += key_size)
        key.scramble(body.data() + off, std::min(key_size, body.size() - off));
    write_file(path, header + body);
}

log_capture::log_capture()
{
    clear();
    set_log_sink(record_line);
}

log_capture::~log_capture()
{
    set_log_sink(nullptr);
}

std::vector<std::string> log_capture::lines() const
{
    std::lock_guard<std::mutex> l(log_lock);
    return log_lines;
}

bool log_capture::has(const std::string& line) const
{
    return count(line) > 0;
}

std::size_t log_capture::count(const std::string& line) const
{
    std::lock_guard<std::mutex> l(log_lock);
    return static_cast<std::size_t>(std::count(log_lines.begin(), log_lines.end(), line));
}

void log_capture::clear()
{
    std::lock_guard<std::mutex> l(log_lock);
    log_lines.clear();
}

void progress_recorder::started()
{
    std::lock_guard<std::mutex> l(record_lock_);
    ++started_;
    max_ = std::max(max_, max_value());
}

void progress_recorder::changed()
{
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> l(record_lock_);
        const std::string text = message();
        if (!text.empty() && std::find(messages_.begin(), messages_.end(), text) == messages_.end())
            messages_.push_back(text);
        values_.push_back(value());
        action = on_change_;
    }
    if (action)
        action();
}

std::vector<std::uint64_t> progress_recorder::values() const
{
    std::lock_guard<std::mutex> l(record_lock_);
    return values_;
}

void progress_recorder::on_change(std::function<void()> action)
{
    std::lock_guard<std::mutex> l(record_lock_);
    on_change_ = std::move(action);
}

void progress_recorder::finished()
{
    std::lock_guard<std::mutex> l(record_lock_);
    ++finished_;
}

unsigned progress_recorder::started_calls() const
{
    std::lock_guard<std::mutex> l(record_lock_);
    return started_;
}

unsigned progress_recorder::finished_calls() const
{
    std::lock_guard<std::mutex> l(record_lock_);
    return finished_;
}

std::vector<std::string> progress_recorder::messages() const
{
    std::lock_guard<std::mutex> l(record_lock_);
    return messages_;
}

std::uint64_t progress_recorder::max_seen() const
{
    std::lock_guard<std::mutex> l(record_lock_);
    return max_;
}

} // namespace pkgtest
