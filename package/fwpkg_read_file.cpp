#include "fwpkg.h"

#include "zip_errors.h"

#include <climits>
#include <stdexcept>

namespace {

constexpr int case_sensitive = 1;
// minizip counts one read in an int; larger members are read in pieces.
constexpr std::uint64_t read_piece_max = 1u << 30;

// Closes the member opened by unzOpenCurrentFile on every way out; the result
// of an explicit close (the CRC check) is the caller's to examine.
class current_member {
public:
    explicit current_member(unzFile zip) : zip_(zip) {}
    current_member(const current_member&) = delete;
    current_member& operator=(const current_member&) = delete;
    ~current_member()
    {
        if (zip_ != nullptr)
            unzCloseCurrentFile(zip_);
    }
    int close()
    {
        const int result = unzCloseCurrentFile(zip_);
        zip_ = nullptr;
        return result;
    }

private:
    unzFile zip_;
};

} // namespace

std::uint64_t fwpkg::member_size(const std::string& name)
{
    if (zip_ == nullptr || unzLocateFile(zip_, name.c_str(), case_sensitive) != UNZ_OK)
        throw std::runtime_error("Invalid package: cannot read " + name);

    unz_file_info64 info{};
    const int result = unzGetCurrentFileInfo64(zip_, &info, nullptr, 0, nullptr, 0, nullptr, 0);
    if (result != UNZ_OK)
        throw_zip_error(result);
    return info.uncompressed_size;
}

buffer fwpkg::read_file(const std::string& name, std::uint64_t bound)
{
    // Leaves the member current for unzOpenCurrentFile.
    const std::uint64_t size = member_size(name);
    if (bound == 0)
        bound = size;
    if (bound < size)
        throw std::runtime_error("buffer too small for file");

    const int result = unzOpenCurrentFile(zip_);
    if (result != UNZ_OK)
        throw_zip_error(result);
    current_member member(zip_);

    buffer out;
    out.resize(bound);  // zero-filled: the bytes past the member stay zero
    std::uint64_t done = 0;
    while (done < size) {
        const std::uint64_t piece = size - done < read_piece_max ? size - done : read_piece_max;
        const int got = unzReadCurrentFile(zip_, out.c_ptr() + done, static_cast<unsigned>(piece));
        if (got <= 0)
            throw_zip_error(got);  // an error, or the member ended early
        done += static_cast<std::uint64_t>(got);
    }
    // The stored CRC is checked once the whole member has been inflated.
    if (member.close() == UNZ_CRCERROR)
        throw std::runtime_error("fwpkg: corrupt member " + name);
    return out;
}
