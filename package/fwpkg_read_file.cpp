#include "fwpkg.h"
#include "text_names.h"

#include "byte_order.h"
#include "zip_errors.h"

#include "package_stream.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

[[noreturn]] void cannot_read(const std::string& name)
{
    throw std::runtime_error("Invalid package: cannot read " + printable_name(name));
}

} // namespace

zip_uint64_t fwpkg::locate(const std::string& name)
{
    // Exact and case-sensitive; a name with a zero byte in it matches nothing.
    if (zip_ == nullptr && !archive_problem_.empty())
        throw std::runtime_error(archive_problem_);
    const auto found = names_.find(name);
    if (found == names_.end())
        cannot_read(name);
    return found->second;
}

std::uint64_t fwpkg::member_size(const std::string& name)
{
    const zip_uint64_t index = locate(name);
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(zip_, index, 0, &st) != 0 || (st.valid & ZIP_STAT_SIZE) == 0)
        cannot_read(name);
    return st.size;
}

bool fwpkg::local_header_matches(zip_uint64_t index, std::uint64_t offset)
{
    constexpr std::size_t fixed_size = 30;
    constexpr std::uint8_t signature[4] = {'P', 'K', 3, 4};
    const char* raw_name = zip_get_name(zip_, index, ZIP_FL_ENC_RAW);
    zip_stat_t st;
    zip_stat_init(&st);
    if (raw_name == nullptr || zip_stat_index(zip_, index, 0, &st) != 0)
        return false;
    const std::string name = raw_name;
    std::vector<std::uint8_t> header(fixed_size + name.size());
    if (!package_stream_read_at(*stream_, offset, header.data(), header.size()))
        return false;
    return std::equal(signature, signature + 4, header.begin()) && load_le16(header, 8) == st.comp_method &&
           load_le16(header, 26) == name.size() && std::equal(name.begin(), name.end(), header.begin() + fixed_size);
}

member_reader fwpkg::open_member(const std::string& name)
{
    const std::uint64_t size = member_size(name);
    const zip_uint64_t index = locate(name);
    // Other writers store folders as entries of their own ("images/").
    if (!name.empty() && name.back() == '/')
        throw std::runtime_error("Invalid package: " + printable_name(name) + " is a folder of the archive, not a file");
    zip_stat_t st;
    zip_stat_init(&st);
    const bool stat_ok = zip_stat_index(zip_, index, 0, &st) == 0;
    const bool no_data = stat_ok && (st.valid & ZIP_STAT_COMP_SIZE) != 0 && st.comp_size == 0;
    // libzip 1.7.3 takes only the name and extra lengths from a member's local
    // header and never looks at the rest. Its first seek in zip_fopen_index
    // is to that header, so noting it lets us check the header ourselves. A
    // member stored without data (an empty file) is never sought: there is
    // nothing in it a damaged header could misplace.
    stream_->note_seek = true;
    stream_->seek_noted = false;
    // Stored and deflated members come out as they lie in the archive and are
    // inflated by the reader; anything else libzip inflates itself (or refuses).
    std::optional<member_reader::raw_member> raw;
    constexpr zip_uint64_t needed = ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_CRC;
    if (stat_ok && (st.valid & needed) == needed &&
        st.encryption_method == ZIP_EM_NONE && (st.comp_method == ZIP_CM_STORE || st.comp_method == ZIP_CM_DEFLATE))
        raw = member_reader::raw_member{st.comp_method == ZIP_CM_DEFLATE, st.crc};
    zip_file_t* file = zip_fopen_index(zip_, index, raw ? ZIP_FL_COMPRESSED : 0);
    stream_->note_seek = false;
    if (file != nullptr && !(stream_->seek_noted ? local_header_matches(index, stream_->noted_seek) : no_data)) {
        zip_fclose(file);
        throw std::runtime_error("fwpkg: corrupt member " + printable_name(name) + ": damaged local header");
    }
    if (file == nullptr)
        throw std::runtime_error(member_failure_text(name, *zip_get_error(zip_)));
    return member_reader(this, file, name, size, raw);
}

buffer fwpkg::read_file(const std::string& name, std::uint64_t bound)
{
    const std::uint64_t size = member_size(name);
    if (bound == 0)
        bound = size;
    if (bound < size)
        throw std::runtime_error("buffer too small for file");
    // Only small members are read whole; a directory that claims gigabytes for
    // a program file must not become an allocation of that size.
    if (bound > whole_member_cap)
        throw std::runtime_error(member_too_large_text(name, bound, whole_member_cap));

    member_reader member = open_member(name);
    buffer out;
    out.resize(bound);  // zero-filled: the bytes past the member stay zero
    std::uint64_t done = 0;
    // The reader throws rather than end early, and checks the CRC before it
    // hands out the last piece.
    while (done < size)
        done += member.read(out.c_ptr() + done, static_cast<std::size_t>(size - done));
    if (size == 0)
        member.read(out.c_ptr(), 0);
    return out;
}
