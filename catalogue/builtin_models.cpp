#include "model.h"

namespace {
// name, memory type, sector size, fastboot, diag and adb identities.
const char* const builtin_rows[] = {
    "alder7,ufs,4096,18d1:d00d,5c6:901d,5c6:9039",
    "birch9,ufs,4096,18d1:d00d,5c6:9091,5c6:9039",
    "cedar12,ufs,4096,18d1:4ee0,5c6:901d,5c6:9039",
    "dogwood3,ufs,4096,18d1:d00d,5c6:90db,5c6:90dc",
    "elm21,ufs,4096,2b4c:1000,2b4c:1004,2b4c:1005",
    "fir8,ufs,4096,18d1:d00d,5c6:901d,5c6:9039",
    "ginkgo5,ufs,4096,2b4c:1010,2b4c:1014,2b4c:1015",
    "hazel11,ufs,4096,18d1:4ee0,5c6:90db,5c6:9039",
    "ironwood2,ufs,512,18d1:d00d,5c6:901d,5c6:9039",
    "juniper4,ufs,512,1bbb:0f01,1bbb:0f05,1bbb:0f06",
    "kapok6,ufs,512,18d1:d00d,5c6:9091,5c6:9092",
    "larch10,ufs,512,18d1:4ee0,5c6:901d,5c6:9039",
    "maple15,ufs,512,2b4c:1020,2b4c:1024,2b4c:1025",
    "nutmeg1,emmc,512,18d1:d00d,5c6:901d,5c6:9039",
    "oak3,emmc,512,18d1:d00d,5c6:9025,5c6:9039",
    "pine20,emmc,512,1bbb:0f11,1bbb:0f15,1bbb:0f16",
    "quince2,emmc,512,18d1:4ee0,5c6:901d,5c6:9039",
    "rowan7,emmc,512,18d1:d00d,5c6:9091,5c6:9039",
    "spruce14,emmc,512,2b4c:1030,2b4c:1034,2b4c:1035",
    "teak9,emmc,512,18d1:d00d,5c6:901d,5c6:9039",
    "upas5,emmc,512,1bbb:0f21,1bbb:0f25,1bbb:0f26",
    "willow13,emmc,512,18d1:d00d,5c6:9025,5c6:9039",
    "yew4,emmc,512,18d1:4ee0,5c6:901d,5c6:9039",
};

// Built at start-up, and on first use should another start-up step ask first.
const bool built_at_start = !builtin_models().empty();
} // namespace

const std::vector<model>& builtin_models()
{
    static const std::vector<model> list = [] {
        std::vector<model> models;
        for (const char* row : builtin_rows)
            models.emplace_back(row);
        return models;
    }();
    return list;
}
