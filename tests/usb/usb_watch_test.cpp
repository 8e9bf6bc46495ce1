// The device watch, both ways it learns of changes: each emergency-download
// handset is told once as it arrives (also one attached before the watch
// began) and once as it leaves; other identities are not told at all.
#include "handset_fixture.h"
#include "usb_watch.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

using namespace usbtest;

namespace {

constexpr std::uint16_t debug_pid = 0x9025;
constexpr auto settle = std::chrono::seconds(3);

class usb_watch_test : public handset_test {
protected:
    // What the watch told, as "+N" (arrived) and "-N" (left), N its place in `known`.
    struct journal {
        std::mutex lock;
        std::condition_variable changed;
        std::vector<usb_device_ref> known;  // held: a device keeps its object only while referenced
        std::vector<std::string> lines;

        void add(const usb_device_ref& d, usb_device_watch::change what)
        {
            const std::lock_guard guard(lock);
            std::size_t n = 0;
            while (n < known.size() && known[n].get() != d.get())
                ++n;
            if (n == known.size())
                known.push_back(d);
            lines.push_back((what == usb_device_watch::change::arrived ? "+" : "-") + std::to_string(n + 1));
            changed.notify_all();
        }
        // The lines once there are `count`, or what there is after a while.
        std::vector<std::string> wait_for(std::size_t count)
        {
            std::unique_lock guard(lock);
            changed.wait_for(guard, settle, [&] { return lines.size() >= count; });
            return lines;
        }
    };
};

TEST_F(usb_watch_test, each_handset_arrives_and_leaves_once)
{
    for (const auto how : {usb_device_watch::method::automatic, usb_device_watch::method::polling}) {
        const char* name = how == usb_device_watch::method::automatic ? "hot-plug" : "polling";
        auto other = debug_options();
        other.product_id = debug_pid;
        const auto stranger = attach(other);
        const auto first = attach();
        journal j;
        {
            usb_device_watch watch(edl_vidpid, [&j](const usb_device_ref& d, usb_device_watch::change what) { j.add(d, what); },
                                   how);
            EXPECT_EQ(how == usb_device_watch::method::automatic, watch.hotplug()) << name;
            EXPECT_EQ(std::vector<std::string>{"+1"}, j.wait_for(1)) << name << ": before the constructor returned";
            const auto second = attach();
            EXPECT_EQ((std::vector<std::string>{"+1", "+2"}), j.wait_for(2)) << name;
            vhandset::detach(first);
            EXPECT_EQ((std::vector<std::string>{"+1", "+2", "-1"}), j.wait_for(3)) << name;
            vhandset::detach(second);
            EXPECT_EQ((std::vector<std::string>{"+1", "+2", "-1", "-2"}), j.wait_for(4)) << name;
            // Plugged in again: a new device.
            attach();
            EXPECT_EQ((std::vector<std::string>{"+1", "+2", "-1", "-2", "+3"}), j.wait_for(5)) << name;
        }
        vhandset::detach_all();
    }
}

} // namespace
