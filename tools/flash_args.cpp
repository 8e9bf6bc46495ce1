#include "flash_args.h"

#include "handset_args.h"

#include <cstdint>
#include <string>

namespace {

struct flash_type_name {
    const char* name;
    flash_type type;
};

constexpr flash_type_name flash_types[] = {
    {"full", full},
    {"keep-data", keep_data},
    {"base-only", base_only},
};

flash_type parse_flash_type(const std::string& text)
{
    for (const flash_type_name& t : flash_types) {
        if (text == t.name)
            return t.type;
    }
    throw usage_error("unknown flash type '" + text + "' (full, keep-data or base-only)");
}

const char* flash_type_text(std::uint32_t type)
{
    for (const flash_type_name& t : flash_types) {
        if (type == t.type)
            return t.name;
    }
    return "full";
}

// A byte count with an optional K or M suffix (binary units).
std::uint32_t parse_payload(const std::string& text)
{
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    const std::string suffix = text.substr(digits);
    const std::uint64_t unit = suffix.empty() ? 1 : suffix == "K" ? 1024 : suffix == "M" ? 1048576 : 0;
    if (digits == 0 || digits > 10 || unit == 0)
        throw usage_error("--max-payload takes a byte count such as 16384, 64K or 1M");
    const std::uint64_t bytes = std::stoull(text.substr(0, digits)) * unit;
    if (bytes < 4096 || bytes > 16 * 1048576)
        throw usage_error("--max-payload must lie between 4K and 16M");
    return static_cast<std::uint32_t>(bytes);
}

} // namespace

std::vector<option_def> flash_how_options()
{
    return {{"--type", true},          {"--no-write", false}, {"--max-payload", true}, {"--sector-writes", false},
            programmer_wait_option,    {"--verify", false},   {"--skip-identical", false}};
}

flash_options flash_options_from(const parsed_args& args)
{
    flash_options options;
    options.type = parse_flash_type(args.value("--type", "full"));
    options.no_write = args.has("--no-write");
    options.read_back = args.has("--verify");
    options.skip_identical = args.has("--skip-identical");
    if (options.no_write && options.read_back)
        throw usage_error("--verify reads back what was written; a --no-write flash writes nothing");
    options.link.sector_writes = args.has("--sector-writes");
    options.wait = programmer_wait_from(args);
    if (args.has("--max-payload"))
        options.link.max_payload_to_target = parse_payload(args.value("--max-payload", ""));
    return options;
}

json_out::object flash_options_json(const flash_options& options)
{
    const flash_options defaults;
    const bool payload_set = options.link.max_payload_to_target != defaults.link.max_payload_to_target;
    return {{"type", flash_type_text(options.type)},
            {"no_write", options.no_write},
            {"verify", options.read_back},
            {"skip_identical", options.skip_identical},
            {"max_payload", payload_set ? json_out::object(options.link.max_payload_to_target) : nullptr},
            {"sector_writes", options.link.sector_writes},
            {"backup", options.backup_dir.empty() ? json_out::object(nullptr) : json_out::object(options.backup_dir)}};
}
