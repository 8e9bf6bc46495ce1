// An Android sparse image as a package member: the check pass, then the
// expansion run by run with every byte pulled, as a flash does it. The member
// arrives in uneven pieces, as an inflating archive member delivers it.
#include "byte_source.h"
#include "sparse_image.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

constexpr std::uint32_t sector_size = 512;
constexpr std::uint64_t partition_bytes = 1u << 20;
constexpr std::size_t pull_bytes = 65536;

class piecewise_source : public byte_source {
public:
    piecewise_source(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::size_t read(std::uint8_t* out, std::size_t len) override
    {
        static constexpr std::array<std::size_t, 4> pieces = {4096, 1, 13, 65536};
        const std::size_t n = std::min({len, size_ - done_, pieces[calls_++ % pieces.size()]});
        std::memcpy(out, data_ + done_, n);
        done_ += n;
        return n;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t done_ = 0;
    std::size_t calls_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    sparse_plan plan;
    try {
        piecewise_source first(data, size);
        plan = check_sparse_image(first, "system.img", sector_size, partition_bytes);
    } catch (const std::runtime_error&) {
        return 0;
    }
    try {
        piecewise_source second(data, size);
        sparse_reader image(second, plan);
        std::vector<std::uint8_t> out(pull_bytes);
        // Every other run is left unread: next_run() must read and check it.
        for (std::uint64_t run = 0; image.next_run(); ++run) {
            while (run % 2 == 0 && image.read(out.data(), out.size()) != 0) {
            }
        }
    } catch (const std::runtime_error&) {
    }
    return 0;
}
