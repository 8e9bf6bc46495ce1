#include "fwpkg.h"
#include "text_names.h"

#include "log.h"
#include "md5.h"
#include "package_stream.h"
#include "paths.h"
#include "sha256.h"
#include "zip_errors.h"

#include <cstring>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace {

constexpr std::size_t md5_size = 16;
constexpr std::size_t sha256_size = 32;

std::string file_type_text(std::filesystem::file_type type)
{
    switch (type) {
    case std::filesystem::file_type::directory: return "a directory";
    case std::filesystem::file_type::fifo: return "a FIFO";
    case std::filesystem::file_type::block: return "a block device";
    case std::filesystem::file_type::character: return "a character device";
    case std::filesystem::file_type::socket: return "a socket";
    default: return "not a plain file";
    }
}

} // namespace

fwpkg::fwpkg() : stream_(std::make_unique<package_stream>()) {}

fwpkg::~fwpkg()
{
    close();
}

void fwpkg::open(const std::string& path)
{
    if (is_open())
        throw std::runtime_error("fwpkg: already open");
    // Opening a FIFO waits for a writer, and a device reads forever: neither
    // can be a package, so neither is opened.
    char expanded[path_max_bytes];
    std::error_code ec;
    const std::filesystem::file_status status =
        std::filesystem::status(expand_path(path.c_str(), expanded) ? expanded : path.c_str(), ec);
    if (!ec && status.type() != std::filesystem::file_type::regular)
        throw std::runtime_error("fwpkg: not a regular file (" + file_type_text(status.type()) + ")");
    stream_->f.open_existing(path, true);
    path_ = path;
    cancelled_.clear();

    std::string header_problem;
    try {
        const std::uint64_t file_size = stream_->f.size();
        // The key is derived from the payload length, so the file's own size
        // (not the header it carries) seeds it.
        stream_->scrambler.set_key(fwpkg_window_size, static_cast<std::uint32_t>(file_size - fwpkg_header_size));
        header_problem = decode_header(file_size);
    } catch (...) {
        close();
        throw;
    }
    if (!header_problem.empty()) {
        close();
        throw std::runtime_error("fwpkg: bad file header (" + header_problem + ")");
    }

    stream_->data_size = header_.data_length;
    stream_->position = 0;
    stream_->window_pos = 0;
    stream_->window_len = 0;
    if (open_archive())
        load_metadata();
}

bool fwpkg::open_archive()
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = package_stream_source(*stream_, &error);
    if (source != nullptr) {
        zip_ = zip_open_from_source(source, ZIP_RDONLY, &error);
        if (zip_ == nullptr)
            zip_source_free(source);
    }
    if (zip_ == nullptr) {
        // The file stays open: verification still tells whether the payload
        // is the one the header describes.
        archive_problem_ = "fwpkg: the payload is not a zip archive (" + zip_error_text(error) + ")";
        log_error("fwpkg: failed to open zip\n");
        log_info("fwpkg: %s\n", zip_error_text(error).c_str());
        zip_error_fini(&error);
        return false;
    }
    zip_error_fini(&error);

    // Names are taken byte for byte, as the program file names them: libzip
    // would otherwise turn names without the UTF-8 flag from code page 437
    // (control characters included) into other bytes. zip leaves it undefined
    // which of two members with one name a reader gets; a package that could
    // flash either is refused.
    const zip_int64_t count = zip_get_num_entries(zip_, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        const char* name = zip_get_name(zip_, index, ZIP_FL_ENC_RAW);
        if (name == nullptr) {
            const std::string why = zip_error_text(*zip_get_error(zip_));
            close_archive();
            throw std::runtime_error("fwpkg: cannot read the archive's directory: " + why);
        }
        if (!names_.emplace(name, index).second) {
            // The name lives in the archive: word the message before discarding it.
            const std::string message =
                "fwpkg: duplicate member " + printable_name(name) + ": the archive holds two members of that name";
            close_archive();
            throw std::runtime_error(message);
        }
    }
    return true;
}

void fwpkg::close_archive()
{
    // Readers still open hold files of this archive; end them first.
    while (!readers_.empty())
        readers_.back()->detach();
    names_.clear();
    if (zip_ != nullptr) {
        zip_discard(zip_);
        zip_ = nullptr;
    }
}

void fwpkg::forget_reader(member_reader* reader)
{
    for (auto it = readers_.begin(); it != readers_.end(); ++it) {
        if (*it == reader) {
            readers_.erase(it);
            return;
        }
    }
}

std::string fwpkg::decode_header(std::uint64_t file_size)
{
    buffer block;
    block.resize(fwpkg_header_size);
    stream_->f.seek(0, file::origin::start);
    stream_->f.read(block);
    const std::string why = ::decode_header(block.c_ptr(), static_cast<std::size_t>(block.size()), file_size,
                                            stream_->scrambler, header_);
    if (!why.empty())
        log_info("%s\n", why.substr(0, why.find(':')).c_str());
    return why;
}

void fwpkg::close()
{
    cancelled_.request();
    close_archive();
    stream_->f.close();
    stream_->data_size = 0;
    stream_->position = 0;
    stream_->window_pos = 0;
    stream_->window_len = 0;
    header_ = fwpkg_header{};
    archive_problem_.clear();
    path_.clear();
}

bool fwpkg::verify(progress_handler& handler)
{
    return verify(handler, {});
}

bool fwpkg::verify(progress_handler& handler, const stored_bytes& observe)
{
    guard busy(&busy_);
    cancelled_.clear();
    verify_failure_.clear();
    if (!stream_->f.open()) {
        verify_failure_ = "no package is open";
        return false;
    }

    progress report(handler, header_.data_length);
    report.message("Verifying package");

    md5_ctx md5;
    sha256_ctx sha;
    md5_init(&md5);
    sha256_init(&sha);
    std::vector<std::uint8_t> chunk(fwpkg_window_size);
    if (observe) {
        stream_->f.seek(0, file::origin::start);
        if (stream_->f.read(chunk.data(), fwpkg_header_size) != fwpkg_header_size) {
            verify_failure_ = "short read at the header: the file cannot be read";
            return false;
        }
        observe(chunk.data(), fwpkg_header_size);
    }
    stream_->f.seek(fwpkg_header_size, file::origin::start);

    for (std::uint64_t offset = 0; offset < header_.data_length; offset += fwpkg_window_size) {
        const std::uint64_t left = header_.data_length - offset;
        const auto n = static_cast<std::uint32_t>(left < fwpkg_window_size ? left : fwpkg_window_size);
        if (stream_->f.read(chunk.data(), n) != n) {
            log_info("Failed to read %u bytes at %u\n", n, static_cast<std::uint32_t>(offset));
            verify_failure_ = "short read at offset " + std::to_string(offset) +
                              ": the file is shorter than its header says or cannot be read";
            return false;
        }
        if (observe)
            observe(chunk.data(), n);
        stream_->scrambler.scramble(chunk.data(), n);
        md5_update(&md5, chunk.data(), n);
        sha256_update(&sha, chunk.data(), static_cast<std::int32_t>(n));
        report.add(n);
        if (cancelled_.requested()) {
            verify_failure_ = "cancelled";
            return false;
        }
    }

    std::uint8_t md5_digest[md5_size];
    std::uint8_t sha_digest[sha256_size];
    md5_final(&md5, md5_digest);
    sha256_final(&sha, sha_digest);
    if (std::memcmp(md5_digest, header_.md5, md5_size) != 0) {
        log_info("md5 mismatch\n");
        verify_failure_ = "MD5 mismatch";
        return false;
    }
    if (std::memcmp(sha_digest, header_.sha256, sha256_size) != 0) {
        log_info("sha256 mismatch\n");
        verify_failure_ = "SHA-256 mismatch";
        return false;
    }
    if (zip_ == nullptr) {
        verify_failure_ = "the digests match, but the payload is not a zip archive";
        return false;
    }
    return true;
}
