#include "fwpkg.h"
#include "text_names.h"

#include "log.h"
#include "md5.h"
#include "package_stream.h"
#include "paths.h"
#include "sha256.h"
#include "zip_errors.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t md5_size = 16;
constexpr std::size_t sha256_size = 32;
// Windows handed to the MD5 thread at a time, and batches in flight.
constexpr std::size_t batch_windows = 16;
constexpr std::size_t batch_count = 4;

// The MD5 of the payload taken on a thread of its own, a batch of windows at a
// time, while the caller's thread reads, descrambles and takes the SHA-256: on
// two cores the slower digest alone sets the pace.
class md5_beside {
public:
    md5_beside()
    {
        md5_init(&ctx_);
        for (std::size_t i = 0; i < batch_count; ++i) {
            batches_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(batch_bytes));
            free_.push_back(i);
        }
        worker_ = std::thread([this] { run(); });
    }
    ~md5_beside()
    {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        worker_.join();
    }
    md5_beside(const md5_beside&) = delete;
    md5_beside& operator=(const md5_beside&) = delete;

    static constexpr std::size_t batch_bytes = batch_windows * fwpkg_window_size;

    // Room for the next batch of batch_bytes; waits while every batch is being hashed.
    std::uint8_t* room()
    {
        if (filling_ == SIZE_MAX) {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [this] { return !free_.empty(); });
            filling_ = free_.front();
            free_.pop_front();
        }
        return batches_[filling_].get();
    }
    // Hashes the first n bytes of the room.
    void hand_over(std::size_t n)
    {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            ready_.emplace_back(filling_, n);
        }
        filling_ = SIZE_MAX;
        changed_.notify_all();
    }
    // Once every batch was handed over: the digest of them all.
    void finish(std::uint8_t* digest)
    {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [this] { return ready_.empty() && !hashing_; });
        md5_final(&ctx_, digest);
    }

private:
    void run()
    {
        for (;;) {
            std::pair<std::size_t, std::size_t> batch;
            {
                std::unique_lock<std::mutex> hold(lock_);
                changed_.wait(hold, [this] { return stopping_ || !ready_.empty(); });
                if (ready_.empty())
                    return;
                batch = ready_.front();
                ready_.pop_front();
                hashing_ = true;
            }
            md5_update(&ctx_, batches_[batch.first].get(), batch.second);
            {
                const std::lock_guard<std::mutex> hold(lock_);
                hashing_ = false;
                free_.push_back(batch.first);
            }
            changed_.notify_all();
        }
    }

    md5_ctx ctx_;
    std::vector<std::unique_ptr<std::uint8_t[]>> batches_;
    std::size_t filling_ = SIZE_MAX;  // the batch room() handed out, not yet handed over
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::size_t> free_;
    std::deque<std::pair<std::size_t, std::size_t>> ready_;  // (batch, bytes) in order
    bool hashing_ = false;
    bool stopping_ = false;
    std::thread worker_;
};

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

    md5_beside md5;
    sha256_ctx sha;
    sha256_init(&sha);
    if (observe) {
        std::uint8_t header_bytes[fwpkg_header_size];
        stream_->f.seek(0, file::origin::start);
        if (stream_->f.read(header_bytes, fwpkg_header_size) != fwpkg_header_size) {
            verify_failure_ = "short read at the header: the file cannot be read";
            return false;
        }
        observe(header_bytes, fwpkg_header_size);
    }
    stream_->f.seek(fwpkg_header_size, file::origin::start);

    std::size_t batched = 0;
    for (std::uint64_t offset = 0; offset < header_.data_length; offset += fwpkg_window_size) {
        const std::uint64_t left = header_.data_length - offset;
        const auto n = static_cast<std::uint32_t>(left < fwpkg_window_size ? left : fwpkg_window_size);
        std::uint8_t* chunk = md5.room() + batched;
        if (stream_->f.read(chunk, n) != n) {
            log_info("Failed to read %u bytes at %u\n", n, static_cast<std::uint32_t>(offset));
            verify_failure_ = "short read at offset " + std::to_string(offset) +
                              ": the file is shorter than its header says or cannot be read";
            return false;
        }
        if (observe)
            observe(chunk, n);
        stream_->scrambler.scramble(chunk, n);
        sha256_update(&sha, chunk, static_cast<std::int32_t>(n));
        batched += n;
        if (batched == md5_beside::batch_bytes || n == left) {
            md5.hand_over(batched);
            batched = 0;
        }
        report.add(n);
        if (cancelled_.requested()) {
            verify_failure_ = "cancelled";
            return false;
        }
    }

    std::uint8_t md5_digest[md5_size];
    std::uint8_t sha_digest[sha256_size];
    md5.finish(md5_digest);
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
