// The detector's question without its timing: exactly one attached handset
// with a listed identity. Two count as none, other identities not at all.
#include "handset_fixture.h"
#include "usb_presence.h"

#include <vector>

using namespace usbtest;

namespace {

constexpr std::uint16_t download_pid = 0x9008;
constexpr std::uint16_t debug_pid = 0x9025;

struct presence_case {
    const char* name;
    std::vector<std::uint16_t> attached;  // product ids, vendor 05c6
    std::vector<std::uint16_t> watched;
    bool present;
};

class usb_presence_test : public handset_test {};

TEST_F(usb_presence_test, exactly_one_listed_handset_is_present)
{
    const presence_case cases[] = {
        {"nothing attached", {}, {download_pid}, false},
        {"one handset", {download_pid}, {download_pid}, true},
        {"two handsets", {download_pid, download_pid}, {download_pid}, false},
        {"another identity only", {debug_pid}, {download_pid}, false},
        {"another identity, also listed", {debug_pid}, {download_pid, debug_pid}, true},
        {"one handset beside another identity", {download_pid, debug_pid}, {download_pid}, true},
        {"one of each, both listed", {download_pid, debug_pid}, {download_pid, debug_pid}, false},
    };
    for (const presence_case& c : cases) {
        std::vector<std::shared_ptr<vhandset::handset>> handsets;
        for (std::uint16_t pid : c.attached) {
            auto opts = debug_options();
            opts.product_id = pid;
            handsets.push_back(attach(opts));
        }
        std::vector<usb_vidpid_t> ids;
        for (std::uint16_t pid : c.watched)
            ids.push_back({0x05c6, pid});
        ids.push_back(usb_vidpid_t{});

        EXPECT_EQ(c.present, usb_single_device_present(ids.data())) << c.name;
        for (auto& h : handsets)
            vhandset::detach(h);
    }
}

} // namespace
