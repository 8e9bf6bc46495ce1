// Decides which injected faults apply to the event the firmware is about to
// handle. Counts events per (place, step) and per place, so "@N" can pick one.
#pragma once

#include "../handset_options.h"

#include <map>
#include <string>
#include <vector>

namespace vhandset {

class fault_plan {
public:
    explicit fault_plan(std::vector<fault_rule> faults);

    // Counts one event of `what` at `where` ("sahara"/"firehose") and returns the
    // faults that apply to it: those naming `what` whose @N is absent or equals
    // this event's number among events of `what`, and, at firehose, those naming
    // "*" or "response" whose @N is absent or equals the number among all requests.
    std::vector<fault_rule> next(const std::string& where, const std::string& what);

    // True when some fault of `kind` is among `hits`; its value is stored in *value.
    static bool has(const std::vector<fault_rule>& hits, const std::string& kind, std::string* value = nullptr);

    // True when any fault at `where`/`what` with `kind` exists, whatever its @N.
    bool planned(const std::string& where, const std::string& what, const std::string& kind) const;

private:
    std::vector<fault_rule> faults_;
    std::map<std::string, unsigned> per_step_;   // "where:what" -> events so far
    std::map<std::string, unsigned> per_place_;  // "where" -> events so far
};

} // namespace vhandset
