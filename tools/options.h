// Command-line option parsing for `brv`: long and short options, with their
// value either attached ("--type=full") or in the next argument ("-o FILE").
// "--" ends the options. Malformed input throws usage_error, which main()
// reports with exit status 2.
#pragma once

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct option_def {
    const char* name;  // "-o", "--type", "--no-write"
    bool takes_value;
    bool repeatable = false;  // may be given more than once; parsed_args::all has every value
};

struct parsed_args {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // options with a value
    std::set<std::string> flags;                // options without one
    std::map<std::string, std::vector<std::string>> repeated;  // every value of a repeatable option, in order

    bool has(const std::string& name) const { return flags.count(name) || values.count(name); }
    // The option's value, or fallback when it was not given.
    std::string value(const std::string& name, const std::string& fallback) const;
    // Every value of a repeatable option, in the order given; none when absent.
    std::vector<std::string> all(const std::string& name) const;
};

// "-h"/"--help", "-v"/"--verbose" and "--json" are always accepted, as flags.
parsed_args parse_args(const std::vector<std::string>& args, const std::vector<option_def>& defs);
