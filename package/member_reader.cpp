#include "member_reader.h"

#include "text_names.h"

#include "fwpkg.h"
#include "zip_errors.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace {

constexpr const char* not_open = "fwpkg: not open";

} // namespace

member_reader::member_reader(fwpkg* owner, zip_file_t* file, std::string name, std::uint64_t size)
    : owner_(owner), file_(file), name_(std::move(name)), size_(size)
{
    owner_->readers_.push_back(this);
}

member_reader::member_reader(member_reader&& other) noexcept
    : owner_(other.owner_), file_(other.file_), name_(std::move(other.name_)), size_(other.size_),
      delivered_(other.delivered_), ended_(other.ended_), failure_(std::move(other.failure_))
{
    if (file_ != nullptr)
        std::replace(owner_->readers_.begin(), owner_->readers_.end(), &other, this);
    other.owner_ = nullptr;
    other.file_ = nullptr;
}

member_reader& member_reader::operator=(member_reader&& other) noexcept
{
    if (this == &other)
        return *this;
    release();
    owner_ = other.owner_;
    file_ = other.file_;
    name_ = std::move(other.name_);
    size_ = other.size_;
    delivered_ = other.delivered_;
    ended_ = other.ended_;
    failure_ = std::move(other.failure_);
    if (file_ != nullptr)
        std::replace(owner_->readers_.begin(), owner_->readers_.end(), &other, this);
    other.owner_ = nullptr;
    other.file_ = nullptr;
    return *this;
}

member_reader::~member_reader()
{
    release();
}

void member_reader::release()
{
    if (file_ == nullptr)
        return;
    zip_fclose(file_);
    file_ = nullptr;
    owner_->forget_reader(this);
}

void member_reader::detach()
{
    release();
    if (!ended_ && failure_.empty())
        failure_ = not_open;
}

void member_reader::fail(const std::string& reason)
{
    failure_ = reason;
    release();
    throw std::runtime_error(failure_);
}

void member_reader::fail_from_archive()
{
    fail(member_failure_text(name_, *zip_file_get_error(file_)));
}

std::size_t member_reader::read(std::uint8_t* out, std::size_t len)
{
    if (!failure_.empty())
        throw std::runtime_error(failure_);
    if (ended_)
        return 0;
    if (file_ == nullptr)
        throw std::runtime_error(not_open);

    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(len, size_ - delivered_));
    std::size_t got = 0;
    while (got < want) {
        const zip_int64_t n = zip_fread(file_, out + got, want - got);
        if (n < 0)
            fail_from_archive();
        if (n == 0)
            fail("fwpkg: corrupt member " + printable_name(name_) + ": it ends after " +
                 std::to_string(delivered_ + got) + " of " + std::to_string(size_) + " bytes");
        got += static_cast<std::size_t>(n);
    }
    delivered_ += got;
    if (delivered_ == size_ && (len > 0 || size_ == 0)) {
        // libzip checks the CRC when the data runs out: one more read must
        // find nothing, so the last piece is never handed out unchecked.
        std::uint8_t probe = 0;
        const zip_int64_t n = zip_fread(file_, &probe, 1);
        if (n < 0)
            fail_from_archive();
        if (n > 0)
            fail("fwpkg: corrupt member " + printable_name(name_) + ": it holds more than the " +
                 std::to_string(size_) + " bytes its directory entry gives");
        ended_ = true;
        release();
    }
    return got;
}

