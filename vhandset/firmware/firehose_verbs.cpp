#include "firehose_verbs.h"

#include <algorithm>
#include <cctype>

namespace vhandset {

namespace {

bool same_ignoring_case(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

} // namespace

const std::vector<std::string>& firehose_verbs()
{
    static const std::vector<std::string> verbs = {
        "configure", "program", "read", "patch", "erase", "nop", "power", "peek", "poke",
        "getnumdisksectors", "getStorageInfo", "getsha256digest", "setbootablestoragedrive", "benchmark"};
    return verbs;
}

std::string canonical_firehose_verb(const std::string& name)
{
    // Programmers take the storage queries in any case.
    for (const char* query : {"getStorageInfo", "getnumdisksectors"})
        if (same_ignoring_case(name, query))
            return query;
    return name;
}

bool is_firehose_verb(const std::string& name)
{
    const auto& v = firehose_verbs();
    return std::find(v.begin(), v.end(), canonical_firehose_verb(name)) != v.end();
}

} // namespace vhandset
