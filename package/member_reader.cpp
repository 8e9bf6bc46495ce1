#include "member_reader.h"

#include "text_names.h"

#include "fwpkg.h"
#include "zip_errors.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <utility>

namespace {

constexpr const char* not_open = "fwpkg: not open";
// Compressed bytes taken from libzip at a time.
constexpr std::size_t raw_input_bytes = 256 * 1024;

} // namespace

struct member_reader::inflater {
    explicit inflater(raw_member kind) : kind(kind)
    {
        if (!kind.deflated)
            return;
        isal_inflate_init(&state);
        // A raw deflate stream whose CRC-32 (zip's, the same as gzip's) ISA-L keeps.
        state.crc_flag = ISAL_GZIP_NO_HDR;
        input = std::make_unique_for_overwrite<std::uint8_t[]>(raw_input_bytes);
    }
    raw_member kind;
    inflate_state state{};
    std::uint32_t stored_crc = 0;
    std::unique_ptr<std::uint8_t[]> input;
    bool input_ended = false;
};

member_reader::member_reader(fwpkg* owner, zip_file_t* file, std::string name, std::uint64_t size,
                             std::optional<raw_member> raw)
    : owner_(owner), file_(file), name_(std::move(name)), size_(size)
{
    if (raw)
        raw_ = std::make_unique<inflater>(*raw);
    owner_->readers_.push_back(this);
}

member_reader::member_reader(member_reader&& other) noexcept
    : owner_(other.owner_), file_(other.file_), name_(std::move(other.name_)), size_(other.size_),
      delivered_(other.delivered_), ended_(other.ended_), failure_(std::move(other.failure_)),
      raw_(std::move(other.raw_))
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
    raw_ = std::move(other.raw_);
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
        std::size_t n = 0;
        if (raw_) {
            n = read_raw(out + got, want - got);
        } else {
            const zip_int64_t r = zip_fread(file_, out + got, want - got);
            if (r < 0)
                fail_from_archive();
            n = static_cast<std::size_t>(r);
        }
        if (n == 0)
            fail("fwpkg: corrupt member " + printable_name(name_) + ": it ends after " +
                 std::to_string(delivered_ + got) + " of " + std::to_string(size_) + " bytes");
        got += n;
    }
    delivered_ += got;
    if (delivered_ == size_ && (len > 0 || size_ == 0)) {
        if (raw_) {
            check_raw_end();
        } else {
            // libzip checks the CRC when the data runs out: one more read must
            // find nothing, so the last piece is never handed out unchecked.
            std::uint8_t probe = 0;
            const zip_int64_t n = zip_fread(file_, &probe, 1);
            if (n < 0)
                fail_from_archive();
            if (n > 0)
                fail_longer();
        }
        ended_ = true;
        release();
    }
    return got;
}

void member_reader::fail_longer()
{
    fail("fwpkg: corrupt member " + printable_name(name_) + ": it holds more than the " + std::to_string(size_) +
         " bytes its directory entry gives");
}

std::size_t member_reader::read_raw(std::uint8_t* out, std::size_t want)
{
    if (!raw_->kind.deflated) {
        std::size_t got = 0;
        while (got < want) {
            const zip_int64_t n = zip_fread(file_, out + got, want - got);
            if (n < 0)
                fail_from_archive();
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        raw_->stored_crc = crc32_gzip_refl(raw_->stored_crc, out, got);
        return got;
    }

    inflate_state& st = raw_->state;
    st.next_out = out;
    st.avail_out = static_cast<std::uint32_t>(std::min<std::size_t>(want, UINT32_MAX));
    const std::uint32_t asked = st.avail_out;
    while (st.avail_out > 0 && st.block_state != ISAL_BLOCK_FINISH) {
        if (st.avail_in == 0 && !raw_->input_ended) {
            const zip_int64_t n = zip_fread(file_, raw_->input.get(), raw_input_bytes);
            if (n < 0)
                fail_from_archive();
            raw_->input_ended = n == 0;
            st.next_in = raw_->input.get();
            st.avail_in = static_cast<std::uint32_t>(n);
        }
        const std::uint32_t out_before = st.avail_out;
        const std::uint32_t in_before = st.avail_in;
        if (isal_inflate(&st) < 0)
            fail("fwpkg: corrupt member " + printable_name(name_) + ": damaged compressed data");
        if (raw_->input_ended && st.avail_out == out_before && st.avail_in == in_before)
            break;
    }
    return asked - st.avail_out;
}

void member_reader::check_raw_end()
{
    std::uint32_t crc = raw_->stored_crc;
    std::uint8_t probe = 0;
    if (read_raw(&probe, 1) != 0)
        fail_longer();
    if (raw_->kind.deflated) {
        // The stream's end-of-block marker may lie after its last byte.
        if (raw_->state.block_state != ISAL_BLOCK_FINISH)
            fail("fwpkg: corrupt member " + printable_name(name_) + ": damaged compressed data");
        crc = raw_->state.crc;
    }
    if (crc != raw_->kind.crc)
        fail("fwpkg: corrupt member " + printable_name(name_));
}
