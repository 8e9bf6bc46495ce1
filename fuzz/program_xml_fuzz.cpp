// The package's program XML and patch XML: the same bytes go through both
// readers, for every flash type, and every element a flash would forward is
// turned into its request text.
#include "fuzz_support.h"
#include "fwpkg.h"
#include "program_list.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace {

// Disks of a few sizes, the smallest one smaller than most layouts.
constexpr std::uint64_t disk_sectors[] = {0, 64, 131072, UINT64_MAX};

void forward_all(const std::vector<program_entry>& entries)
{
    for (const program_entry& entry : entries) {
        element_text(entry.node);
        partition_bytes(entry.node);
        for (const std::uint64_t disk : disk_sectors) {
            std::uint64_t sector = 0;
            entry.start.resolve(disk, &sector);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool quiet = (fuzz::quiet_xml(), true);
    (void)quiet;

    buffer xml;
    xml.enqueue(data, size);
    struct {
        std::uint32_t sector_size;
        std::uint32_t type;
    } const runs[] = {{512, full}, {512, keep_data}, {512, base_only}, {4096, full}};
    for (const auto& run : runs) {
        try {
            const program_list list = read_program_list(xml, run.sector_size, run.type);
            forward_all(list.base);
            forward_all(list.os);
        } catch (const std::runtime_error&) {
        }
    }
    try {
        const patch_list list = read_patch_list(xml);
        for (xmlNode* node : list.patches)
            element_text(node);
    } catch (const std::runtime_error&) {
    }
    return 0;
}
