#include "package_harness.h"

#include "fuzz_support.h"
#include "fwpkg.h"

#include <stdexcept>
#include <vector>

namespace fuzz {

namespace {

// Members up to this size are read whole; larger ones with this bound, which
// the reader must refuse without allocating the declared size.
constexpr std::uint64_t whole_read_limit = 1u << 20;

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

    try {
        null_progress progress;
        package.verify(progress);
    } catch (const std::runtime_error&) {
    }

    std::vector<member_info> members;
    try {
        members = package.members();
    } catch (const std::runtime_error&) {
    }
    for (const member_info& m : members) {
        try {
            package.read_file(m.name, m.size <= whole_read_limit ? 0 : whole_read_limit);
        } catch (const std::runtime_error&) {
        }
    }
}

} // namespace fuzz
