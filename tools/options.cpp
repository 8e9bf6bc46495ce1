#include "options.h"

#include <algorithm>

namespace {

const std::vector<option_def> common_options = {
    {"-h", false}, {"--help", false}, {"-v", false}, {"--verbose", false}, {"--json", false},
};

const option_def* find_option(const std::string& name, const std::vector<option_def>& defs)
{
    for (const auto* list : {&defs, &common_options}) {
        auto it = std::find_if(list->begin(), list->end(), [&](const option_def& s) { return name == s.name; });
        if (it != list->end())
            return &*it;
    }
    return nullptr;
}

} // namespace

std::string parsed_args::value(const std::string& name, const std::string& fallback) const
{
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

std::vector<std::string> parsed_args::all(const std::string& name) const
{
    auto it = repeated.find(name);
    return it == repeated.end() ? std::vector<std::string>{} : it->second;
}

parsed_args parse_args(const std::vector<std::string>& args, const std::vector<option_def>& defs)
{
    parsed_args out;
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options_ended || a.size() < 2 || a[0] != '-') {
            out.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            options_ended = true;
            continue;
        }
        std::string name = a;
        std::string attached;
        bool has_attached = false;
        if (const auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            attached = a.substr(eq + 1);
            has_attached = true;
        }
        const option_def* def = find_option(name, defs);
        if (!def)
            throw usage_error("unknown option " + name);
        if (!def->takes_value) {
            if (has_attached)
                throw usage_error("option " + name + " takes no value");
            out.flags.insert(name);
            continue;
        }
        if (!has_attached) {
            if (i + 1 >= args.size())
                throw usage_error("option " + name + " needs a value");
            attached = args[++i];
        }
        if (def->repeatable)
            out.repeated[name].push_back(attached);
        else if (out.values.count(name))
            throw usage_error("option " + name + " given twice");
        out.values.emplace(name, attached);
    }
    return out;
}
