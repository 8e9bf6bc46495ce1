#include "command.h"
#include "json_output.h"
#include "text_names.h"
#include "memory_type.h"
#include "package_open.h"

#include <cstdio>
#include <string>

namespace {

void print_field(const char* name, const std::string& value)
{
    std::printf("%-14s %s\n", name, value.c_str());
}

std::string text_of(const buffer& b)
{
    return std::string(reinterpret_cast<const char*>(b.c_ptr()), b.size());
}

void print_notes(const buffer& notes)
{
    if (notes.size() == 0)
        return;
    std::printf("Notes:\n");
    std::string text = text_of(notes);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::printf("  %s\n", text.substr(start, end - start).c_str());
        start = end + 1;
    }
}

int run_info(const parsed_args& args)
{
    fwpkg pkg;
    const std::string& path = args.positional[0];
    open_package(pkg, path);
    json_out::start({{"package", path}});
    const fwpkg_header& h = pkg.header();
    char version[16];
    std::snprintf(version, sizeof version, "0x%08x", h.version);
    print_field("Package:", path);
    print_field("Version:", version);
    print_field("Data length:", std::to_string(h.data_length) + " bytes");
    print_field("MD5:", hex_text(h.md5, sizeof h.md5));
    print_field("SHA-256:", hex_text(h.sha256, sizeof h.sha256));
    // members() refuses a payload that is not an archive; the header alone is
    // still worth showing before saying so.
    const std::vector<member_info> members = pkg.members();
    print_field("Device:", pkg.device_display_name());
    print_field("Code name:", pkg.device_code_name());
    print_field("Memory type:", memory_type_name(pkg.device_memory_type()));
    print_field("Sector size:", std::to_string(pkg.device_sector_size()));
    print_field("Programmer:", pkg.firehose_filename());
    print_field("Program XML:", pkg.program_filename());
    print_field("Patch XML:", pkg.patch_filename());
    print_field("Picture:", std::to_string(pkg.device_image().size()) + " bytes");
    print_notes(pkg.package_notes());
    std::printf("Members: %zu\n", members.size());
    std::printf("  %12s %12s  %s\n", "size", "compressed", "name");
    // Names come from the package: a control character in one must not move
    // the cursor or forge a line of this listing.
    json_out::object listed = json_out::object::array();
    for (const member_info& m : members) {
        std::printf("  %12llu %12llu  %s\n", static_cast<unsigned long long>(m.size),
                    static_cast<unsigned long long>(m.compressed_size), printable_name(m.name).c_str());
        listed.push_back({{"name", m.name}, {"size", m.size}, {"compressed_size", m.compressed_size}});
    }
    json_out::emit("package", {{"package", path},
                               {"version", h.version},
                               {"data_length", h.data_length},
                               {"md5", hex_text(h.md5, sizeof h.md5)},
                               {"sha256", hex_text(h.sha256, sizeof h.sha256)},
                               {"device", pkg.device_display_name()},
                               {"code_name", pkg.device_code_name()},
                               {"memory_type", memory_type_name(pkg.device_memory_type())},
                               {"sector_size", pkg.device_sector_size()},
                               {"programmer", pkg.firehose_filename()},
                               {"program", pkg.program_filename()},
                               {"patch", pkg.patch_filename()},
                               {"picture_bytes", pkg.device_image().size()},
                               {"notes", text_of(pkg.package_notes())},
                               {"members", listed}});
    return exit_ok;
}

} // namespace

extern const command info_command = {
    "info",
    "show a package's header, metadata and members",
    "Usage: brv info FILE.brp\n"
    "\n"
    "Prints the package header (version, payload length, digests), the handset\n"
    "it is meant for, its release notes and its members with their sizes.\n"
    "Does not check the digests: use 'brv verify' for that.\n",
    {},
    1,
    1,
    run_info,
};
