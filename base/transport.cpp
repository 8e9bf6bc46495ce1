#include "transport.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// As large as the largest transfer a USB pipe receives.
constexpr std::size_t drain_piece_bytes = 65536;

std::string error_text(int error)
{
    char text[256];
    // GNU strerror_r: the result may or may not point into `text`.
    return strerror_r(error, text, sizeof text);
}

} // namespace

link_error::link_error(int error) : std::runtime_error(error_text(error)), error_(error) {}

buffer read_transfer(transport& link, std::size_t capacity)
{
    buffer b;
    b.resize(capacity);
    b.resize(link.read(b.c_ptr(), capacity));
    return b;
}

buffer read_exact(transport& link, std::size_t length)
{
    buffer b;
    b.resize(length);
    for (std::size_t done = 0; done < length;)
        done += link.read(b.c_ptr() + done, length - done);
    return b;
}

void transport::write_stream(const std::function<write_piece()>& next)
{
    for (write_piece piece = next(); piece.size != 0; piece = next())
        write(piece.data, piece.size);
}

std::size_t write_buffer(transport& link, const buffer& b)
{
    return link.write(b.c_ptr() + b.pos(), static_cast<std::size_t>(b.size() - b.pos()));
}

void drain(transport& link) noexcept
{
    try {
        std::vector<std::uint8_t> sink(drain_piece_bytes);
        for (;;) {
            try {
                link.read(sink.data(), sink.size());
            } catch (const link_error& e) {
                // A transfer too large for the room is dropped all the same.
                if (e.error() != EOVERFLOW)
                    return;
            }
        }
    } catch (...) {
    }
}
