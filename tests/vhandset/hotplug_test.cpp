// Hot-plug notification: handsets arriving and leaving reach libusb's hot-plug
// callbacks inside event handling, filtered and deregistered as libusb does.
#include "control_channel.h"
#include "session_config.h"
#include "test_support.h"

#include <thread>

using namespace vhandset_test;

namespace {

constexpr int both_events = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
constexpr int any = LIBUSB_HOTPLUG_MATCH_ANY;

struct sighting {
    libusb_hotplug_event event;
    std::uint16_t product_id;
    std::uint8_t address;
    std::thread::id thread;
};

// A callback's user data: what it was told, and what it answers.
class recorder {
public:
    explicit recorder(int answer = 0) : answer_(answer) {}

    static int LIBUSB_CALL callback(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void* self)
    {
        auto* r = static_cast<recorder*>(self);
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(dev, &d);
        std::lock_guard lock(r->m_);
        r->seen_.push_back({event, d.idProduct, libusb_get_device_address(dev), std::this_thread::get_id()});
        return r->answer_;
    }

    int listen(libusb_context* ctx, int events = both_events, int flags = 0, int vendor = any, int product = any,
               int dev_class = any)
    {
        return libusb_hotplug_register_callback(ctx, events, flags, vendor, product, dev_class, callback, this, &handle);
    }

    std::vector<sighting> seen()
    {
        std::lock_guard lock(m_);
        return seen_;
    }

    libusb_hotplug_callback_handle handle = 0;

private:
    const int answer_;
    std::mutex m_;
    std::vector<sighting> seen_;
};

// Runs whatever callbacks are due, without waiting.
void handle_pending(libusb_context* ctx)
{
    timeval now{0, 0};
    ASSERT_EQ(libusb_handle_events_timeout_completed(ctx, &now, nullptr), 0);
}

} // namespace

TEST_F(usb_test, HandsetsArrivingAndLeavingAreReportedInsideEventHandling)
{
    ASSERT_NE(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 0);
    std::filesystem::create_directories(dir);
    vhandset::write_session_config(dir, vhandset::session_config{});
    vhandset::session channel(dir);
    recorder r;
    ASSERT_EQ(r.listen(ctx), 0);
    EXPECT_GT(r.handle, 0);

    ASSERT_EQ(channel.execute("attach"), "ok attach 1");
    const auto address = vhandset::attached_handsets().at(0)->device_address();
    EXPECT_TRUE(r.seen().empty()) << "callbacks run only when the program handles events";
    handle_pending(ctx);
    ASSERT_EQ(channel.execute("detach 1"), "ok detach 1");
    handle_pending(ctx);
    // A handset that leaves by itself (a power reset) is reported as well.
    auto self_leaving = plug([](vhandset::device_link& link) { link.detach(); });
    ASSERT_TRUE(self_leaving->wait_detached(long_wait_ms));
    handle_pending(ctx);

    const auto seen = r.seen();
    ASSERT_EQ(seen.size(), 4u);
    const libusb_hotplug_event expected[] = {LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                                             LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT};
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].event, expected[i]) << i;
        EXPECT_EQ(seen[i].product_id, 0x9008) << i;
        EXPECT_EQ(seen[i].thread, std::this_thread::get_id()) << i << ": not on the thread handling events";
    }
    EXPECT_EQ(seen[0].address, address);
    EXPECT_EQ(seen[1].address, address);
    EXPECT_EQ(seen[3].address, self_leaving->device_address());
}

TEST_F(usb_test, EnumerateReportsTheHandsetsAlreadyThereOnce)
{
    recorder earlier, enumerating;
    ASSERT_EQ(earlier.listen(ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED), 0);
    plug(idle_firmware);
    plug(idle_firmware);
    ASSERT_EQ(enumerating.listen(ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, LIBUSB_HOTPLUG_ENUMERATE), 0);
    EXPECT_EQ(enumerating.seen().size(), 2u) << "reported before registration returns";
    EXPECT_NE(enumerating.handle, earlier.handle);

    handle_pending(ctx);
    EXPECT_EQ(earlier.seen().size(), 2u);
    EXPECT_EQ(enumerating.seen().size(), 2u) << "arrivals before the registration are not reported again";
}

TEST_F(usb_test, FiltersChooseTheHandsetsACallbackHears)
{
    struct row {
        int vendor, product, dev_class;
        bool heard;
    };
    const row rows[] = {
        {any, any, any, true},
        {0x05c6, 0x9008, any, true},
        {0x05c6, 0x9009, any, false},
        {0x1234, any, any, false},
        {any, any, 0, true},      // the class is defined per interface
        {any, any, 0xff, false},
    };
    std::vector<std::unique_ptr<recorder>> recorders;
    for (const row& r : rows) {
        recorders.push_back(std::make_unique<recorder>());
        ASSERT_EQ(recorders.back()->listen(ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, 0, r.vendor, r.product, r.dev_class), 0);
    }
    plug(idle_firmware);
    handle_pending(ctx);
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(recorders[i]->seen().size(), rows[i].heard ? 1u : 0u) << "row " << i;

    recorder refused;
    EXPECT_EQ(refused.listen(ctx, 0), LIBUSB_ERROR_INVALID_PARAM) << "no events";
    EXPECT_EQ(refused.listen(ctx, both_events, 0, 0x10000), LIBUSB_ERROR_INVALID_PARAM) << "not a vendor id";
    EXPECT_EQ(refused.listen(ctx, both_events, 2), LIBUSB_ERROR_INVALID_PARAM) << "unknown flag";
}

TEST_F(usb_test, DeregisteredCallbacksHearNoMore)
{
    recorder dropped, done_after_one(1);
    ASSERT_EQ(dropped.listen(ctx), 0);
    ASSERT_EQ(done_after_one.listen(ctx), 0);
    EXPECT_EQ(libusb_hotplug_get_user_data(ctx, dropped.handle), &dropped);

    auto h = plug(idle_firmware);
    handle_pending(ctx);
    libusb_hotplug_deregister_callback(ctx, dropped.handle);
    libusb_hotplug_deregister_callback(ctx, dropped.handle);  // harmless a second time
    EXPECT_EQ(libusb_hotplug_get_user_data(ctx, dropped.handle), nullptr);
    EXPECT_EQ(libusb_hotplug_get_user_data(ctx, done_after_one.handle), nullptr) << "its answer 1 deregistered it";
    vhandset::detach(h);
    handle_pending(ctx);

    EXPECT_EQ(dropped.seen().size(), 1u);
    EXPECT_EQ(done_after_one.seen().size(), 1u);
}

TEST_F(usb_test, AThreadWaitingForEventsWakesForAHandset)
{
    recorder r;
    ASSERT_EQ(r.listen(ctx), 0);
    std::thread::id waiter_id;
    std::chrono::milliseconds waited{};
    std::thread waiter([&] {
        waiter_id = std::this_thread::get_id();
        timeval ten_seconds{10, 0};
        const auto start = clock_type::now();
        libusb_handle_events_timeout_completed(ctx, &ten_seconds, nullptr);
        waited = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(short_wait_ms));  // let it block
    plug(idle_firmware);
    waiter.join();

    EXPECT_LT(waited.count(), 5000);
    const auto seen = r.seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].event, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    EXPECT_EQ(seen[0].thread, waiter_id);
}
