#include "partition_rules.h"

#include "text_names.h"

#include <stdexcept>

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <set>
#include <string_view>

namespace {

constexpr std::size_t slot_label_min = 3;  // at least one character before "_x"
constexpr std::size_t slot_suffix_length = 2;

constexpr std::array<std::string_view, 8> os_partitions = {
    "boot", "recovery", "dtbo", "vbmeta", "vendor", "system", "cache", "userdata",
};

bool is_ascii_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

} // namespace

std::string strip_slot_suffix(const std::string& label)
{
    const std::size_t n = label.size();
    if (n >= slot_label_min && label[n - 2] == '_' && is_ascii_letter(label[n - 1]))
        return label.substr(0, n - slot_suffix_length);
    return label;
}

bool is_base_partition(const std::string& label)
{
    const std::string name = strip_slot_suffix(label);
    for (std::string_view os : os_partitions)
        if (name == os)
            return false;
    return true;
}

std::string label_file_name(const std::string& label)
{
    if (!usable_file_name(label))
        throw std::runtime_error("partition label \"" + printable_name(label) + "\" cannot be a file name");
    return label + ".img";
}

std::vector<std::string> distinct_file_names(const std::vector<std::string>& labels)
{
    std::map<std::string, std::size_t> uses;
    for (const std::string& label : labels) {
        label_file_name(label);
        ++uses[label];
    }
    // Names as a file system that ignores case sees them.
    std::set<std::string> taken;
    auto take = [&taken](std::string name) {
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        return taken.insert(name).second;
    };
    std::vector<std::string> names(labels.size());
    for (std::size_t i = 0; i < labels.size(); ++i)
        if (uses[labels[i]] == 1 && take(labels[i] + ".img"))
            names[i] = labels[i] + ".img";
    std::map<std::string, std::size_t> numbered;
    for (std::size_t i = 0; i < labels.size(); ++i)
        while (names[i].empty()) {
            const std::string name = labels[i] + "_" + std::to_string(++numbered[labels[i]]) + ".img";
            if (take(name))
                names[i] = name;
        }
    return names;
}
