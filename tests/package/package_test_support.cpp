#include "package_test_support.h"

#include "log.h"
#include "md5.h"
#include "package_builder.h"
#include "scrozzler.h"
#include "sha256.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

#include <minizip/zip.h>
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

void put_be(std::string& out, std::uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

std::string zip_once(const fs::path& path, const std::vector<zip_member>& members, const std::string& comment)
{
    zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (zf == nullptr)
        throw std::runtime_error("test: zipOpen failed");
    for (const zip_member& m : members) {
        zip_fileinfo info{};
        const bool raw = m.wrong_crc;
        const int method = (m.deflate && !raw) ? Z_DEFLATED : 0;
        if (zipOpenNewFileInZip2(zf, m.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, method,
                                 method == 0 ? 0 : Z_DEFAULT_COMPRESSION, raw ? 1 : 0) != ZIP_OK)
            throw std::runtime_error("test: zipOpenNewFileInZip failed");
        if (!m.bytes.empty() &&
            zipWriteInFileInZip(zf, m.bytes.data(), static_cast<unsigned>(m.bytes.size())) != ZIP_OK)
            throw std::runtime_error("test: zipWriteInFileInZip failed");
        if (raw) {
            const uLong good = crc32(0, reinterpret_cast<const Bytef*>(m.bytes.data()),
                                     static_cast<uInt>(m.bytes.size()));
            zipCloseFileInZipRaw(zf, m.bytes.size(), good ^ 0x5a5a5a5au);
        } else {
            zipCloseFileInZip(zf);
        }
    }
    zipClose(zf, comment.empty() ? nullptr : comment.c_str());
    std::string bytes = read_whole_file(path);
    fs::remove(path);
    return bytes;
}

} // namespace

temp_dir::temp_dir()
{
    std::string pattern = (fs::temp_directory_path() / "brv-package-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("test: mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void write_file(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("test: cannot write " + path.string());
}

std::string read_whole_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("test: cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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
    temp_dir dir;
    const fs::path path = dir / "archive.zip";
    std::string bytes = zip_once(path, members, "");
    if (exact_size == 0 || bytes.size() == exact_size)
        return bytes;
    // The comment length field grows the end record by exactly the comment.
    if (exact_size < bytes.size() || exact_size - bytes.size() > max_comment)
        throw std::runtime_error("test: archive size not reachable with a comment");
    bytes = zip_once(path, members, std::string(exact_size - bytes.size(), 'c'));
    if (bytes.size() != exact_size)
        throw std::runtime_error("test: archive padding failed");
    return bytes;
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
    put_be(header, tweak.version, 4);
    put_be(header, static_cast<std::uint64_t>(static_cast<std::int64_t>(payload.size()) + tweak.length_delta), 8);
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

void pack_files(const fs::path& work_dir, const fs::path& package, const std::map<std::string, std::string>& files)
{
    const fs::path source = work_dir / "source";
    fs::remove_all(source);
    for (const auto& [name, bytes] : files)
        write_file(source / name, bytes);
    pack_directory(source.string(), package.string());
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
