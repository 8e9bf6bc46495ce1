#include "fault_plan.h"

namespace vhandset {

fault_plan::fault_plan(std::vector<fault_rule> faults) : faults_(std::move(faults)) {}

std::vector<fault_rule> fault_plan::next(const std::string& where, const std::string& what)
{
    const unsigned step_n = ++per_step_[where + ":" + what];
    const unsigned place_n = ++per_place_[where];
    std::vector<fault_rule> hits;
    for (const auto& f : faults_) {
        if (f.where != where)
            continue;
        const bool wildcard = where == "firehose" && (f.what == "*" || f.what == "response");
        if (f.what == what) {
            if (f.nth == 0 || f.nth == step_n)
                hits.push_back(f);
        } else if (wildcard) {
            if (f.nth == 0 || f.nth == place_n)
                hits.push_back(f);
        }
    }
    return hits;
}

bool fault_plan::has(const std::vector<fault_rule>& hits, const std::string& kind, std::string* value)
{
    for (const auto& f : hits) {
        if (f.kind == kind) {
            if (value)
                *value = f.value;
            return true;
        }
    }
    return false;
}

bool fault_plan::planned(const std::string& where, const std::string& what, const std::string& kind) const
{
    for (const auto& f : faults_)
        if (f.where == where && f.what == what && f.kind == kind)
            return true;
    return false;
}

} // namespace vhandset
