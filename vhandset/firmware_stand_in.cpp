// Stands in for the handset firmware library while it is not part of the
// build: the handset enumerates, keeps quiet and accepts the basic options.
#include "firmware/firmware.h"

#include <fstream>
#include <stdexcept>

namespace vhandset {

void run_firmware(device_link& link, const handset_options&, const std::filesystem::path&)
{
    try {
        char sink[4096];
        for (;;)
            link.receive(sink, sizeof sink, 0, nullptr);
    } catch (const unplugged&) {
    }
}

std::vector<std::string> read_transcript(const std::filesystem::path& state_dir)
{
    std::vector<std::string> lines;
    std::ifstream in(state_dir / "transcript.txt");
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void parse_option(handset_options& opts, const std::string& name, const std::string& value)
{
    if (name == "manufacturer")
        opts.manufacturer = value;
    else if (name == "product")
        opts.product = value;
    else if (name == "serial")
        opts.serial = value;
    else if (name == "zlp")
        opts.zlp = value != "off";
    else
        throw std::invalid_argument("unknown option --" + name);
}

handset_options for_handset(const handset_options& opts, unsigned) { return opts; }

std::string help_text()
{
    return "Handset options:\n"
           "  --manufacturer TEXT   manufacturer string\n"
           "  --product TEXT        product string\n"
           "  --serial TEXT         serial number string\n"
           "  --zlp on|off          zero-length packet after packet-multiple writes\n";
}

} // namespace vhandset
