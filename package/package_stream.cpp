#include "package_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

namespace {

constexpr std::uint64_t block_mask = fwpkg_window_size - 1;

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

zip_int64_t failed(package_stream& s, int zip_error, int system_error)
{
    zip_error_set(&s.error, zip_error, system_error);
    return -1;
}

zip_int64_t stream_read(package_stream& s, std::uint8_t* out, std::uint64_t want)
{
    const std::uint64_t start = s.position;
    if (s.position >= s.data_size)
        want = 0;
    else if (want > s.data_size - s.position)
        want = s.data_size - s.position;
    while (want > 0) {
        if (window_used_up(s)) {
            errno = 0;
            const bool loaded = package_stream_load(s, block_of(s.position));
            s.window_pos = offset_in_block(s.position);
            // The header promised data_size bytes: a file that ends before
            // them (cut after opening) or fails to read is an error, not the end.
            if (!loaded || window_used_up(s)) {
                if (s.position > start)
                    break;  // hand out what arrived; the next read fails
                return failed(s, ZIP_ER_READ, errno != 0 ? errno : EIO);
            }
        }
        const std::uint64_t n = std::min<std::uint64_t>(want, s.window_len - s.window_pos);
        std::memcpy(out, s.window + s.window_pos, n);
        out += n;
        s.window_pos += static_cast<std::uint32_t>(n);
        s.position += n;
        want -= n;
    }
    return static_cast<zip_int64_t>(s.position - start);
}

zip_int64_t stream_seek(package_stream& s, void* data, zip_uint64_t len)
{
    // Rejects targets before the start or past the end (seeking exactly to the end is allowed).
    const zip_int64_t target = zip_source_seek_compute_offset(s.position, s.data_size, data, len, &s.error);
    if (target < 0)
        return -1;
    const auto t = static_cast<std::uint64_t>(target);
    if (s.note_seek && !s.seek_noted) {
        s.noted_seek = t;
        s.seek_noted = true;
    }
    if (block_of(t) != block_of(s.position) || window_used_up(s))
        package_stream_load(s, block_of(t));
    s.position = t;
    s.window_pos = offset_in_block(t);
    return 0;
}

zip_int64_t stream_callback(void* userdata, void* data, zip_uint64_t len, zip_source_cmd_t command)
{
    package_stream& s = *static_cast<package_stream*>(userdata);
    switch (command) {
    case ZIP_SOURCE_OPEN:
        s.position = 0;
        s.window_pos = 0;
        s.window_len = 0;
        return 0;
    case ZIP_SOURCE_READ:
        return stream_read(s, static_cast<std::uint8_t*>(data), len);
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_STAT: {
        auto* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, len, &s.error);
        if (st == nullptr)
            return -1;
        zip_stat_init(st);
        st->size = s.data_size;
        st->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&s.error, data, len);
    case ZIP_SOURCE_FREE:
        return 0;
    case ZIP_SOURCE_SEEK:
        return stream_seek(s, data, len);
    case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(s.position);
    case ZIP_SOURCE_ACCEPT_EMPTY:
        // An empty payload is not an archive (libzip would take it for an empty one).
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                                              ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_ACCEPT_EMPTY, -1);
    default:
        return failed(s, ZIP_ER_OPNOTSUPP, 0);
    }
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

bool package_stream_read_at(package_stream& s, std::uint64_t offset, std::uint8_t* out, std::size_t n)
{
    if (offset > s.data_size)
        return false;
    if (block_of(offset) != block_of(s.position) || window_used_up(s))
        package_stream_load(s, block_of(offset));
    s.position = offset;
    s.window_pos = offset_in_block(offset);
    return stream_read(s, out, n) == static_cast<zip_int64_t>(n);
}

zip_source_t* package_stream_source(package_stream& stream, zip_error_t* error)
{
    zip_error_init(&stream.error);
    return zip_source_function_create(stream_callback, &stream, error);
}
