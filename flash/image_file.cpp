#include "image_file.h"

#include <memory>
#include <stdexcept>

namespace {

constexpr std::size_t magic_bytes = 4;
constexpr std::size_t read_piece_bytes = 1u << 20;
constexpr std::uint64_t request_sector_limit = std::uint64_t{1} << 32;

void check_sectors(std::uint64_t first, std::uint64_t sectors, const std::string& path)
{
    if (first >= request_sector_limit || sectors > request_sector_limit - first)
        throw std::runtime_error(path + ": sectors " + std::to_string(first) + " to " + std::to_string(first + sectors) +
                                 " lie beyond sector 2^32, which a program request cannot name");
}

} // namespace

image_file::image_file(std::string path, std::uint64_t size) : path_(std::move(path)), size_(size)
{
    in_.open_existing(path_, true);
}

std::size_t image_file::read(std::uint8_t* out, std::size_t len)
{
    const std::uint64_t n = in_.read(out, len);
    done_ += n;
    if ((n == 0 && done_ != size_) || done_ > size_)
        throw std::runtime_error(path_ + " changed while it was read");
    return static_cast<std::size_t>(n);
}

image_write_plan check_image_file(const std::string& path, std::uint32_t sector_size, std::uint64_t room_bytes,
                                  const std::string& where)
{
    image_write_plan plan;
    plan.path = path;
    {
        file probe;
        probe.open_existing(path, true);
        plan.size = probe.size();
    }
    image_file source(path, plan.size);
    std::uint8_t head[magic_bytes] = {};
    const std::size_t got = read_up_to(source, head, magic_bytes);
    if (is_sparse_magic(head, got)) {
        image_file whole(path, plan.size);
        plan.sparse = check_sparse_image(whole, path, sector_size, room_bytes);
        plan.bytes_sent = plan.sparse->written_bytes;
        return plan;
    }
    if (plan.size > room_bytes)
        throw std::runtime_error(path + " (" + std::to_string(plan.size) + " bytes) is larger than " + where + " (" +
                                 std::to_string(room_bytes) + " bytes)");
    const auto piece = std::make_unique_for_overwrite<std::uint8_t[]>(read_piece_bytes);
    while (source.read(piece.get(), read_piece_bytes) != 0) {
    }
    plan.bytes_sent = (plan.size + sector_size - 1) / sector_size * sector_size;
    return plan;
}

void write_image_file(firehose& programmer, std::uint32_t lun, std::uint64_t first_sector,
                      const image_write_plan& plan, const data_progress& on_piece)
{
    const std::uint32_t sector_size = programmer.sector_size();
    const std::uint64_t span = plan.sparse ? plan.sparse->expanded_bytes : plan.bytes_sent;
    check_sectors(first_sector, (span + sector_size - 1) / sector_size, plan.path);
    programmer.set_physical_partition(lun);
    image_file source(plan.path, plan.size);
    if (!plan.sparse) {
        programmer.program(static_cast<std::uint32_t>(first_sector), source, plan.bytes_sent, on_piece);
        return;
    }
    sparse_reader image(source, *plan.sparse);
    std::uint64_t done_before = 0;
    while (const auto run = image.next_run()) {
        const std::uint64_t first = first_sector + run->offset / sector_size;
        programmer.program(static_cast<std::uint32_t>(first), image, run->length,
                           [&](std::uint64_t done) { on_piece(done_before + done); });
        done_before += run->length;
    }
}
