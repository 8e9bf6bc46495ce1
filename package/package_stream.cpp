#include "package_stream.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace {

constexpr std::uint64_t block_mask = fwpkg_window_size - 1;
constexpr int zip_mode_access_mask = 3;  // ZLIB_FILEFUNC_MODE_READWRITEFILTER
constexpr long seek_failed = -1;

std::uint64_t block_of(std::uint64_t offset)
{
    return offset & ~block_mask;
}

std::uint32_t offset_in_block(std::uint64_t offset)
{
    return static_cast<std::uint32_t>(offset & block_mask);
}

bool window_used_up(const package_stream& s)
{
    return s.window_pos >= s.window_len;
}

package_stream& stream_of(voidpf opaque)
{
    return *static_cast<package_stream*>(opaque);
}

voidpf ZCALLBACK stream_open(voidpf opaque, const char* /*name*/, int mode)
{
    if ((mode & zip_mode_access_mask) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    package_stream& s = stream_of(opaque);
    try {
        s.f.seek(fwpkg_header_size, file::origin::start);
    } catch (const std::exception&) {
        return nullptr;
    }
    s.position = 0;
    s.window_pos = 0;
    s.window_len = 0;
    return opaque;
}

uLong ZCALLBACK stream_read(voidpf opaque, voidpf /*stream*/, void* dst, uLong size)
{
    package_stream& s = stream_of(opaque);
    const std::uint64_t start = s.position;
    std::uint64_t want = size;
    if (s.position >= s.data_size)
        want = 0;
    else if (want > s.data_size - s.position)
        want = s.data_size - s.position;
    auto* out = static_cast<std::uint8_t*>(dst);
    while (want > 0) {
        if (window_used_up(s)) {
            if (!package_stream_load(s, block_of(s.position)))
                break;
            s.window_pos = offset_in_block(s.position);
            // A file that ends inside the block leaves nothing at the position.
            if (window_used_up(s))
                break;
        }
        const std::uint64_t n = std::min<std::uint64_t>(want, s.window_len - s.window_pos);
        std::memcpy(out, s.window + s.window_pos, n);
        out += n;
        s.window_pos += static_cast<std::uint32_t>(n);
        s.position += n;
        want -= n;
    }
    return static_cast<uLong>(s.position - start);
}

uLong ZCALLBACK stream_write(voidpf, voidpf, const void*, uLong)
{
    return 0;
}

long ZCALLBACK stream_tell(voidpf opaque, voidpf)
{
    return static_cast<long>(stream_of(opaque).position);
}

long ZCALLBACK stream_seek(voidpf opaque, voidpf, uLong offset, int origin)
{
    package_stream& s = stream_of(opaque);
    // Offsets relative to the position or the end arrive as unsigned numbers;
    // modular addition turns them back into steps in either direction.
    std::uint64_t target;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        target = offset;
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        target = s.position + offset;
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        target = s.data_size + offset;
        break;
    default:
        return seek_failed;
    }
    if (target > s.data_size)
        return seek_failed;
    if (block_of(target) != block_of(s.position) || window_used_up(s))
        package_stream_load(s, block_of(target));
    s.position = target;
    s.window_pos = offset_in_block(target);
    return 0;
}

int ZCALLBACK stream_close(voidpf opaque, voidpf)
{
    stream_of(opaque).f.close();
    return 0;
}

int ZCALLBACK stream_error(voidpf, voidpf)
{
    return 0;
}

} // namespace

bool package_stream_load(package_stream& s, std::uint64_t block_start)
{
    std::uint64_t got = 0;
    try {
        s.f.seek(static_cast<std::int64_t>(fwpkg_header_size + block_start), file::origin::start);
        got = s.f.read(s.window, fwpkg_window_size);
    } catch (const std::exception&) {
        got = 0;
    }
    s.window_len = static_cast<std::uint32_t>(got);
    if (got == 0)
        return false;
    s.scrambler.scramble(s.window, static_cast<std::size_t>(got));
    return true;
}

void package_stream_io(zlib_filefunc_def& io, package_stream& stream)
{
    io.zopen_file = stream_open;
    io.zread_file = stream_read;
    io.zwrite_file = stream_write;
    io.ztell_file = stream_tell;
    io.zseek_file = stream_seek;
    io.zclose_file = stream_close;
    io.zerror_file = stream_error;
    io.opaque = &stream;
}
