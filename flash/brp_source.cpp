#include "brp_source.h"

#include <stdexcept>

namespace {

fwpkg& checked(fwpkg& package)
{
    if (!package.is_open())
        throw std::runtime_error("fwpkg: not open");
    package.check_metadata();
    return package;
}

} // namespace

brp_source::brp_source(fwpkg& package) : package_(checked(package)), busy_(package.busy_flag())
{
}

buffer brp_source::programmer()
{
    return package_.read_file(package_.firehose_filename(), 0);
}

buffer brp_source::program_document()
{
    return package_.read_file(package_.program_filename(), 0);
}

buffer brp_source::patch_document()
{
    return package_.read_file(package_.patch_filename(), 0);
}

std::unique_ptr<byte_source> brp_source::open_image(const std::string& name)
{
    return std::make_unique<member_reader>(package_.open_member(name));
}
