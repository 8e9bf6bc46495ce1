#include "package_harness.h"

#include "brp_source.h"
#include "flash_plan.h"
#include "fuzz_support.h"
#include "fwpkg.h"
#include "progress.h"

#include <stdexcept>
#include <vector>

namespace fuzz {

namespace {

// Members up to this size are also read whole; larger ones with this bound,
// which the reader must refuse without allocating the declared size.
constexpr std::uint64_t whole_read_limit = 1u << 20;
// A streaming read stops here: a small input inflates to a few MiB at most,
// and a member that claims more must fail before this, when its data ends.
constexpr std::uint64_t stream_limit = 16u << 20;
constexpr std::size_t piece_bytes = 65536;

void read_member(fwpkg& package, const member_info& m)
{
    try {
        package.read_file(m.name, m.size <= whole_read_limit ? 0 : whole_read_limit);
    } catch (const std::runtime_error&) {
    }
    try {
        member_reader reader = package.open_member(m.name);
        std::vector<std::uint8_t> piece(piece_bytes);
        std::uint64_t done = 0;
        while (done < stream_limit) {
            const std::size_t n = reader.read(piece.data(), piece.size());
            if (n == 0)
                break;
            done += n;
        }
    } catch (const std::runtime_error&) {
    }
}

} // namespace

void exercise_package(const std::string& path)
{
    fwpkg package;
    try {
        package.open(path);
    } catch (const std::runtime_error&) {
        // Metadata errors leave the package open: the rest still applies.
        if (!package.is_open())
            return;
    }

    null_progress progress;
    try {
        package.verify(progress);
    } catch (const std::runtime_error&) {
    }

    std::vector<member_info> members;
    try {
        members = package.members();
    } catch (const std::runtime_error&) {
    }
    for (const member_info& m : members)
        read_member(package, m);

    // Everything a flash reads and checks before the handset hears anything.
    try {
        brp_source source(package);
        source.programmer();
        plan_flash(source, full, progress);
    } catch (const std::runtime_error&) {
    }
}

} // namespace fuzz
