#include "sahara_packet.h"

namespace vhandset::sahara {

namespace {

// Parameter words per command id; the packet length is (words + 2) * 4.
constexpr std::array<std::uint32_t, 20> parameter_words = {0, 10, 10, 3, 2, 0, 1, 0, 0, 2,
                                                           2, 0,  1,  1, 2, 1, 4, 4, 6, 0};
constexpr std::size_t word_bytes = 4;

} // namespace

std::uint32_t packet_length(std::uint32_t id)
{
    if (id == 0 || id >= parameter_words.size() - 1)
        return 0;
    return static_cast<std::uint32_t>((parameter_words[id] + 2) * word_bytes);
}

packet::packet(std::uint32_t id)
{
    const std::uint32_t len = packet_length(id);
    words_.assign(len / word_bytes, 0);
    words_.at(0) = id;
    words_.at(1) = len;
}

packet packet::from_bytes(const unsigned char* data, std::size_t len)
{
    packet p;
    p.words_.resize((len + word_bytes - 1) / word_bytes, 0);
    for (std::size_t i = 0; i < len; ++i)
        p.words_[i / word_bytes] |= std::uint32_t{data[i]} << (8 * (i % word_bytes));
    return p;
}

void packet::set(std::size_t i, std::uint32_t v)
{
    if (i >= words_.size())
        words_.resize(i + 1, 0);
    words_[i] = v;
}

void packet::set64(std::size_t i, std::uint64_t v)
{
    set(i, static_cast<std::uint32_t>(v));
    set(i + 1, static_cast<std::uint32_t>(v >> 32));
}

std::vector<unsigned char> packet::bytes() const
{
    std::vector<unsigned char> out(words_.size() * word_bytes);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<unsigned char>(words_[i / word_bytes] >> (8 * (i % word_bytes)));
    return out;
}

std::uint16_t load_le16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t load_le32(const unsigned char* p)
{
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint64_t load_le64(const unsigned char* p)
{
    return load_le32(p) | (std::uint64_t{load_le32(p + 4)} << 32);
}

} // namespace vhandset::sahara
