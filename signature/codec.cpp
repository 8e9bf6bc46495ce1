#include "codec.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace signature::detail {

namespace {

constexpr std::size_t piece_bytes = 65536;

unique_fd open_for_reading(const std::string& path)
{
    int fd;
    do
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd == -1 && errno == EINTR);
    if (fd == -1)
        throw read_error(error_text(std::string("cannot read: ") + std::strerror(errno), path), errno);
    return unique_fd(fd);
}

// Fills out as far as the file allows; the count read.
std::size_t read_full(const unique_fd& fd, std::uint8_t* out, std::size_t size, const std::string& path)
{
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd.get(), out + got, size - got);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            throw read_error(error_text(std::string("cannot read: ") + std::strerror(errno), path), errno);
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

} // namespace

void ensure_sodium()
{
    static const int status = sodium_init();
    if (status < 0)
        throw std::runtime_error("signature: libsodium cannot start");
}

std::string to_base64(const std::uint8_t* bytes, std::size_t size)
{
    std::string out(sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    out.resize(std::strlen(out.c_str()));
    return out;
}

bool from_base64(std::string_view line, std::uint8_t* out, std::size_t size)
{
    // One spare byte tells a longer payload from one of the right length.
    std::vector<std::uint8_t> decoded(size + 1);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(decoded.data(), decoded.size(), line.data(), line.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    if (end != line.data() + line.size() || length != size)
        return false;
    std::memcpy(out, decoded.data(), size);
    sodium_memzero(decoded.data(), decoded.size());
    return true;
}

std::vector<std::string_view> text_lines(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        if (nl == std::string_view::npos)
            break;
        text.remove_prefix(nl + 1);
    }
    return lines;
}

std::string read_small_file(const std::string& path, std::size_t max_bytes)
{
    const unique_fd fd = open_for_reading(path);
    std::string text(max_bytes, '\0');
    text.resize(read_full(fd, reinterpret_cast<std::uint8_t*>(text.data()), max_bytes, path));
    return text;
}

void for_each_piece(const std::string& path, const piece_handler& handle)
{
    const unique_fd fd = open_for_reading(path);
    std::vector<std::uint8_t> piece(piece_bytes);
    for (;;) {
        const std::size_t n = read_full(fd, piece.data(), piece.size(), path);
        if (n == 0)
            return;
        handle(piece.data(), n);
    }
}

blake2b_512::blake2b_512()
{
    ensure_sodium();
    crypto_generichash_init(&state_, nullptr, 0, size);
}

void blake2b_512::update(const std::uint8_t* data, std::size_t n) { crypto_generichash_update(&state_, data, n); }

void blake2b_512::final(std::uint8_t (&out)[size]) { crypto_generichash_final(&state_, out, size); }

unique_fd::~unique_fd()
{
    if (fd_ != -1)
        ::close(fd_);
}

std::string error_text(const std::string& what, const std::string& context)
{
    return "signature: " + what + " (" + context + ")";
}

} // namespace signature::detail
