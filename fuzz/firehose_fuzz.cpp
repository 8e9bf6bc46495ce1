// A flash programmer's side of the Firehose link: the fuzzer's bytes are the
// USB transfers it sends (cut at NUL bytes; an empty piece is a read that times
// out), delivered through the scripted peer that stands in for the USB pipe.
// The host opens the link and then runs what a flash runs: a program with its
// raw data, a patch, the storage queries, a read and the reset. Each step goes
// on from wherever the one before left the stream.
#include "firehose.h"
#include "fuzz_support.h"
#include "log.h"
#include "memory_type.h"
#include "scripted_session.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

namespace {

constexpr std::uint32_t sector_size = 512;
constexpr char program_element[] =
    "<program SECTOR_SIZE_IN_BYTES=\"512\" file_sector_offset=\"0\" filename=\"boot.img\" label=\"boot_a\" "
    "num_partition_sectors=\"2\" physical_partition_number=\"0\" start_sector=\"40\"/>";
constexpr char patch_element[] =
    "<patch SECTOR_SIZE_IN_BYTES=\"512\" byte_offset=\"40\" filename=\"DISK\" physical_partition_number=\"0\" "
    "size_in_bytes=\"8\" start_sector=\"1\" value=\"NUM_DISK_SECTORS-34.\"/>";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool setup = (fuzz::quiet_xml(), log_level = 2, true);
    (void)setup;

    const fuzz::scripted_session session(fuzz::split_at_nul(data, size));

    firehose link;
    try {
        link.open(scripted::peer::current(), false, memory_emmc, sector_size);
    } catch (const std::runtime_error&) {
        return 0;
    }
    const std::vector<std::uint8_t> image(2 * sector_size, 0x5a);
    fuzz::attempt([&] { link.program_element(program_element, image.data(), static_cast<std::uint32_t>(image.size())); });
    fuzz::attempt([&] { link.command(patch_element); });
    fuzz::attempt([&] { link.num_disk_sectors(); });
    fuzz::attempt([&] { link.total_logical_blocks(); });
    fuzz::attempt([&] { link.read(0, 4); });
    fuzz::attempt([&] { link.power("reset"); });
    return 0;
}
