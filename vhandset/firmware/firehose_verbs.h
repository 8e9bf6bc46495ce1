// The commands the flash programmer carries out, by the names a request
// element and a fault rule use for them.
#pragma once

#include <string>
#include <vector>

namespace vhandset {

// Every verb in the order the "Supported Functions:" log line names them.
const std::vector<std::string>& firehose_verbs();

// `name` as the programmer knows it: the storage queries are taken in any case
// ("getstorageinfo" is "getStorageInfo"), other names are returned unchanged.
std::string canonical_firehose_verb(const std::string& name);

// True when `name`, taken as canonical_firehose_verb() does, is a verb.
bool is_firehose_verb(const std::string& name);

} // namespace vhandset
