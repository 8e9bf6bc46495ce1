// The flash page's workflow against the virtual handset: what the user sees in
// every state, every transition and failure, and what ends up on the handset.
// GoogleTest goes first: the toolkit pulls in X11 headers whose macros clash with it.
#include <gtest/gtest.h>

#include "app_test_support.h"
#include "button.h"
#include "device_detector.h"
#include "flash_page.h"
#include "main_window.h"
#include "pages.h"
#include "test_files.h"
#include "textlabel.h"
#include "vhandset.h"

#include <FL/Fl.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_Text_Buffer.H>

#include <pthread.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using apptest::message_capture;

constexpr unsigned verify_timeout_ms = 20000;
constexpr unsigned flash_timeout_ms = 30000;
// Longer than one detector period.
constexpr unsigned detector_period_ms = 1300;
constexpr std::uint32_t dark = 0x404040;
constexpr std::uint32_t light = 0xd8d8d8;
constexpr std::uint32_t near_white = 0xf0f0f0;

struct packages {
    apptest::built_package plain;
    apptest::built_package big;
    apptest::built_package corrupt;
};

const packages& test_packages()
{
    // Removed at exit, after every test that flashed them.
    static const testsupport::temp_dir dirs[3];
    static const packages built = [] {
        packages p;
        p.plain = apptest::build_package(dirs[0].path(), {});
        apptest::package_layout big;
        big.filler_bytes = 24u << 20;
        p.big = apptest::build_package(dirs[1].path(), big);
        apptest::package_layout corrupt;
        corrupt.corrupt_payload = true;
        p.corrupt = apptest::build_package(dirs[2].path(), corrupt);
        return p;
    }();
    return built;
}

class flash_page_test : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static const bool locked = [] {
            Fl::lock();
            return true;
        }();
        (void)locked;
        ::setenv("BRV_PROGRAMMER_WAIT_MS", "0", 1);
        test_packages();
    }

    void SetUp() override
    {
        window_ = create_main_window();
        page_ = &page_of(*window_);
    }

    void TearDown() override
    {
        page_->finish_worker();
        delete window_;
        main_window = nullptr;
        vhandset::detach_all();
        dirs_.clear();
    }

    void show()
    {
        window_->show();
        ASSERT_TRUE(apptest::pump_until([&] { return window_->shown() && window_->visible(); }, 2000));
        apptest::pump_for(50);
    }

    std::shared_ptr<vhandset::handset> plug(vhandset::handset_options opts = {})
    {
        opts.memory = "emmc";
        opts.disk_size = 1u << 20;
        dirs_.push_back(std::make_unique<testsupport::temp_dir>());
        return vhandset::attach(opts, dirs_.back()->path());
    }

    // Runs the detector's first check at once instead of waiting for its next period.
    void recheck_now()
    {
        page_->detector().stop();
        page_->detector().start({{0x05c6, 0x9008}});
    }

    bool wait_idle(unsigned timeout_ms)
    {
        return apptest::pump_until([&] { return !page_->worker_running(); }, timeout_ms);
    }

    void open_and_verify(const fs::path& path)
    {
        page_->open_package(path.string());
        ASSERT_TRUE(wait_idle(verify_timeout_ms));
    }

    void press_action()
    {
        ASSERT_TRUE(page_->progress_page().action_button().visible());
        page_->progress_page().action_button().do_callback();
    }

    bool button_reads(const char* text)
    {
        const button& b = page_->progress_page().action_button();
        return b.visible() && b.label() != nullptr && std::string(b.label()) == text;
    }
    bool button_hidden() { return !page_->progress_page().action_button().visible(); }
    bool progress_shown()
    {
        return page_->progress_page().bar().visible() && page_->progress_page().message().visible();
    }
    std::string progress_text() { return page_->progress_page().message().label(); }
    std::string footer_text()
    {
        const char* text = page_->footer().label();
        return text != nullptr ? text : "";
    }
    bool item_active(const char* path) { return page_->menu_item(path).active() != 0; }
    bool package_shown() { return page_->pkginfo().has_package(); }

    std::vector<std::uint8_t> partition(const vhandset::handset& h, std::uint64_t sector, std::size_t n)
    {
        return apptest::read_sectors(h.lun_image(0), sector, n);
    }

    static std::vector<std::uint8_t> padded(std::vector<std::uint8_t> bytes, std::size_t n)
    {
        bytes.resize(n, 0);
        return bytes;
    }

    bool patched(const vhandset::handset& h)
    {
        auto bytes = apptest::read_sectors(h.lun_image(0), apptest::patch_sector, 4);
        return bytes == std::vector<std::uint8_t>{0x78, 0x56, 0x34, 0x12};
    }

    bool all_zero(const vhandset::handset& h, std::uint64_t sector, std::size_t n)
    {
        for (auto b : partition(h, sector, n))
            if (b != 0)
                return false;
        return true;
    }

    Fl_Double_Window* window_ = nullptr;
    flash_page* page_ = nullptr;
    std::vector<std::unique_ptr<testsupport::temp_dir>> dirs_;
    message_capture messages_;
};

TEST_F(flash_page_test, starts_waiting_for_a_device_with_nothing_to_press)
{
    EXPECT_EQ(footer_text(), "Please connect your device");
    show();
    EXPECT_TRUE(page_->detector().running());
    apptest::pump_for(detector_period_ms);
    EXPECT_EQ(footer_text(), "Please connect your device");
    EXPECT_TRUE(button_hidden());
    EXPECT_FALSE(progress_shown());
    EXPECT_FALSE(package_shown());
    EXPECT_TRUE(item_active("File/Open"));
    EXPECT_TRUE(page_->menu_item("Options/Flash Type/Full").value());
    EXPECT_FALSE(page_->menu_item("Options/No Write").value());
    EXPECT_TRUE(messages_.messages().empty());

    // The whole window is the dark theme, with the footer text in near white.
    EXPECT_TRUE(apptest::area_is_uniform(*window_, 0, 30, 960, 540, dark));
    EXPECT_TRUE(apptest::area_is_uniform(*window_, 0, 576, 960, 44, dark));
    EXPECT_TRUE(apptest::area_has_colour(*window_, 40, 660, 200, 17, near_white));
    EXPECT_TRUE(apptest::area_has_colour(*window_, 856, 660, 94, 21, near_white));
}

TEST_F(flash_page_test, handset_attached_before_start_is_detected_at_the_first_check)
{
    plug();
    show();
    // The first check runs when the window is shown, long before a second period.
    EXPECT_TRUE(apptest::pump_until([&] { return footer_text() == "Device detected"; }, 500));
    EXPECT_TRUE(button_hidden());
}

TEST_F(flash_page_test, two_handsets_count_as_absent)
{
    plug();
    plug();
    show();
    apptest::pump_for(300);
    EXPECT_EQ(footer_text(), "Please connect your device");
    EXPECT_FALSE(page_->device_present());
}

TEST_F(flash_page_test, verification_shows_progress_then_the_package_and_plugging_offers_flash)
{
    show();
    page_->open_package(test_packages().plain.path.string());
    EXPECT_TRUE(page_->worker_running());
    EXPECT_TRUE(button_reads("Cancel"));
    EXPECT_TRUE(progress_shown());
    EXPECT_EQ(progress_text(), "Verifying package...");
    EXPECT_FALSE(item_active("File/Open"));
    EXPECT_FALSE(item_active("File/Close"));
    EXPECT_FALSE(package_shown());

    ASSERT_TRUE(wait_idle(verify_timeout_ms));
    EXPECT_TRUE(messages_.messages().empty());
    EXPECT_TRUE(package_shown());
    EXPECT_EQ(std::string(page_->pkginfo().title().label()), "Test Handset X1");
    EXPECT_EQ(std::string(page_->pkginfo().notes_title().label()), "Release notes");
    EXPECT_FALSE(progress_shown());
    EXPECT_TRUE(button_hidden());
    EXPECT_TRUE(item_active("File/Open"));
    EXPECT_TRUE(item_active("File/Close"));

    // The package page: picture centred in the left half, notes title on the right.
    ASSERT_NE(page_->pkginfo().picture(), nullptr);
    EXPECT_EQ(apptest::pixel_at(*window_, 240, 20 + 20 + (536 - 30) / 2 + 15), 0xc02020u);
    EXPECT_EQ(apptest::pixel_at(*window_, 215, 20 + 20 + (536 - 30) / 2 + 15), dark);
    EXPECT_TRUE(apptest::area_has_colour(*window_, 485, 25, 200, 27, light));
    EXPECT_TRUE(apptest::area_has_colour(*window_, 5, 25, 200, 27, light));

    // Plugging the handset in offers "Flash" without a new verification.
    plug();
    EXPECT_TRUE(apptest::pump_until([&] { return button_reads("Flash"); }, detector_period_ms));
    EXPECT_FALSE(page_->worker_running());
    EXPECT_EQ(footer_text(), "Device detected");
    EXPECT_EQ(apptest::pixel_at(*window_, 917, 593), light);

    // And unplugging takes it away again.
    vhandset::detach_all();
    EXPECT_TRUE(apptest::pump_until([&] { return button_hidden(); }, detector_period_ms));
    EXPECT_EQ(footer_text(), "Please connect your device");
    EXPECT_TRUE(package_shown());
}

TEST_F(flash_page_test, verified_package_with_handset_present_is_ready_at_once)
{
    plug();
    show();
    ASSERT_TRUE(apptest::pump_until([&] { return page_->device_present(); }, 500));
    open_and_verify(test_packages().plain.path);
    EXPECT_TRUE(button_reads("Flash"));
    EXPECT_EQ(footer_text(), "Device detected");
}

TEST_F(flash_page_test, corrupt_package_fails_validation_and_is_closed)
{
    plug();
    show();
    open_and_verify(test_packages().corrupt.path);
    ASSERT_EQ(messages_.messages(), std::vector<std::string>{"Package validation failed"});
    EXPECT_FALSE(page_->package().is_open());
    EXPECT_FALSE(page_->package_verified());
    EXPECT_FALSE(package_shown());
    EXPECT_TRUE(button_hidden());
    EXPECT_FALSE(progress_shown());
    EXPECT_TRUE(item_active("File/Open"));
    // The package page is a plain dark rectangle again.
    EXPECT_TRUE(apptest::area_is_uniform(*window_, 0, 30, 960, 540, dark));
}

TEST_F(flash_page_test, failed_open_closes_the_previous_package_and_says_why)
{
    plug();
    show();
    open_and_verify(test_packages().plain.path);
    ASSERT_TRUE(button_reads("Flash"));

    const std::string missing = "/nonexistent/dir/none.brp";
    page_->open_package(missing);
    ASSERT_EQ(messages_.messages().size(), 1u);
    const std::string& text = messages_.messages()[0];
    EXPECT_EQ(text.rfind("Failed to open " + missing + ": ", 0), 0u) << text;
    EXPECT_GT(text.size(), ("Failed to open " + missing + ": \n").size());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_FALSE(page_->package().is_open());
    EXPECT_FALSE(package_shown());
    EXPECT_TRUE(button_hidden());
    EXPECT_FALSE(page_->worker_running());

    // A file that is not a package at all.
    dirs_.push_back(std::make_unique<testsupport::temp_dir>());
    fs::path bogus = *dirs_.back() / "bogus.brp";
    std::FILE* f = std::fopen(bogus.c_str(), "wb");
    std::fputs("this is not a package, just some text that is long enough to read", f);
    std::fclose(f);
    messages_.clear();
    page_->open_package(bogus.string());
    ASSERT_EQ(messages_.messages().size(), 1u);
    EXPECT_EQ(messages_.messages()[0].rfind("Failed to open " + bogus.string() + ": ", 0), 0u);
    EXPECT_FALSE(page_->package().is_open());
}

// Answers the file chooser the way a user who presses Cancel does.
void cancel_chooser(void*)
{
    for (Fl_Window* w = Fl::first_window(); w != nullptr; w = Fl::next_window(w)) {
        if (w != main_window) {
            // The chooser's window callback is what its Cancel button and the close box run.
            w->do_callback();
            return;
        }
    }
    Fl::repeat_timeout(0.05, cancel_chooser);
}

TEST_F(flash_page_test, cancelled_chooser_keeps_the_package_and_display)
{
    plug();
    show();
    open_and_verify(test_packages().plain.path);
    ASSERT_TRUE(button_reads("Flash"));

    Fl::add_timeout(0.2, cancel_chooser);
    flash_page::open_cb(nullptr, page_);
    Fl::remove_timeout(cancel_chooser);

    EXPECT_TRUE(messages_.messages().empty());
    EXPECT_TRUE(page_->package().is_open());
    EXPECT_TRUE(page_->package_verified());
    EXPECT_TRUE(package_shown());
    EXPECT_TRUE(button_reads("Flash"));
    EXPECT_FALSE(page_->worker_running());
}

TEST_F(flash_page_test, cancel_during_verification_fails_it_and_closes_the_package)
{
    show();
    page_->open_package(test_packages().big.path.string());
    // Once the worker reports, it has taken the request flag for itself.
    ASSERT_TRUE(apptest::pump_until([&] { return progress_text() != "Verifying package..."; }, verify_timeout_ms));
    ASSERT_TRUE(page_->worker_running());
    press_action();
    press_action();  // a second press only repeats the request
    ASSERT_TRUE(wait_idle(verify_timeout_ms));
    EXPECT_EQ(messages_.messages(), std::vector<std::string>{"Package validation failed"});
    EXPECT_FALSE(page_->package().is_open());
    EXPECT_TRUE(button_hidden());
    EXPECT_TRUE(item_active("File/Open"));
}

TEST_F(flash_page_test, handset_plugged_during_verification_hides_cancel_then_offers_flash)
{
    show();
    page_->open_package(test_packages().big.path.string());
    ASSERT_TRUE(button_reads("Cancel"));
    plug();
    recheck_now();
    Fl::wait(0);  // the check's timer runs before any posted completion
    EXPECT_TRUE(page_->device_present());
    EXPECT_TRUE(page_->worker_running());
    EXPECT_TRUE(button_hidden());
    EXPECT_EQ(footer_text(), "Device detected");

    ASSERT_TRUE(wait_idle(verify_timeout_ms));
    EXPECT_TRUE(messages_.messages().empty());
    EXPECT_TRUE(button_reads("Flash"));
}

TEST_F(flash_page_test, close_after_verification_never_offers_flash_again)
{
    auto h = plug();
    show();
    open_and_verify(test_packages().plain.path);
    ASSERT_TRUE(button_reads("Flash"));

    flash_page::close_cb(nullptr, page_);
    EXPECT_FALSE(page_->package().is_open());
    EXPECT_FALSE(package_shown());
    EXPECT_TRUE(button_hidden());
    EXPECT_FALSE(progress_shown());
    EXPECT_EQ(footer_text(), "Device detected");

    vhandset::detach(h);
    ASSERT_TRUE(apptest::pump_until([&] { return !page_->device_present(); }, detector_period_ms));
    EXPECT_EQ(footer_text(), "Please connect your device");
    plug();
    ASSERT_TRUE(apptest::pump_until([&] { return page_->device_present(); }, detector_period_ms));
    EXPECT_EQ(footer_text(), "Device detected");
    EXPECT_TRUE(button_hidden());
}

TEST_F(flash_page_test, flash_writes_the_package_and_stays_on_offer)
{
    auto h = plug();
    show();
    open_and_verify(test_packages().plain.path);
    ASSERT_TRUE(button_reads("Flash"));

    press_action();
    EXPECT_TRUE(page_->worker_running());
    EXPECT_FALSE(page_->detector().running());
    EXPECT_TRUE(button_reads("Cancel"));
    EXPECT_TRUE(progress_shown());
    EXPECT_EQ(progress_text(), "Flashing...");
    EXPECT_FALSE(item_active("File/Open"));
    EXPECT_FALSE(item_active("File/Close"));

    ASSERT_TRUE(wait_idle(flash_timeout_ms));
    EXPECT_EQ(messages_.messages(), std::vector<std::string>{"Succeeded"});
    EXPECT_EQ(footer_text(), "It is now safe to disconnect your device.");
    EXPECT_TRUE(button_reads("Flash"));
    EXPECT_FALSE(progress_shown());
    EXPECT_TRUE(page_->detector().running());
    EXPECT_TRUE(item_active("File/Open"));

    // Full flash with the menu untouched: every image, the DISK patch, then the reset.
    const auto& pkg = test_packages().plain;
    EXPECT_EQ(partition(*h, apptest::xbl_sector, 8 * 512), padded(pkg.xbl, 8 * 512));
    EXPECT_EQ(partition(*h, apptest::boot_sector, pkg.boot.size()), pkg.boot);
    EXPECT_EQ(partition(*h, apptest::userdata_sector, pkg.userdata.size()), pkg.userdata);
    EXPECT_TRUE(patched(*h));
    EXPECT_TRUE(h->wait_detached(2000));

    // The handset has left after its reset; "Flash" stays, and pressing it tells so.
    apptest::pump_for(detector_period_ms);
    EXPECT_TRUE(button_reads("Flash"));
    EXPECT_EQ(footer_text(), "It is now safe to disconnect your device.");
    messages_.clear();
    press_action();
    ASSERT_TRUE(wait_idle(flash_timeout_ms));
    EXPECT_EQ(messages_.messages(), std::vector<std::string>{
                                        "Cannot open device: no handset in emergency-download mode (USB 05c6:9008) "
                                        "is attached."});
    EXPECT_TRUE(button_reads("Flash"));
}

TEST_F(flash_page_test, two_handsets_at_flash_time_cannot_be_opened)
{
    plug();
    show();
    open_and_verify(test_packages().plain.path);
    press_action();
    ASSERT_TRUE(wait_idle(flash_timeout_ms));
    ASSERT_EQ(messages_.messages(), std::vector<std::string>{"Succeeded"});

    auto first = plug();
    auto second = plug();
    apptest::pump_for(detector_period_ms);
    ASSERT_TRUE(button_reads("Flash"));
    messages_.clear();
    press_action();
    ASSERT_TRUE(wait_idle(flash_timeout_ms));
    EXPECT_EQ(messages_.messages(), std::vector<std::string>{
                                        "Cannot open device: more than one handset in emergency-download mode is "
                                        "attached; leave only one connected."});
    EXPECT_TRUE(all_zero(*first, apptest::xbl_sector, 512));
    EXPECT_TRUE(all_zero(*second, apptest::xbl_sector, 512));
}

TEST_F(flash_page_test, a_package_no_trusted_key_signed_is_refused_before_the_handset_hears_anything)
{
    // A key in the user's folder makes signatures count; the test package has none.
    dirs_.push_back(std::make_unique<testsupport::temp_dir>());
    const fs::path home = dirs_.back()->path();
    const fs::path keys = home / ".config/brenvik/trusted-keys";
    fs::create_directories(keys);
    const std::string make_key = "minisign -G -W -p " + (keys / "vendor.pub").string() + " -s " +
                                 (home / "vendor.key").string() + " >/dev/null 2>&1";
    ASSERT_EQ(0, std::system(make_key.c_str()));
    const char* old_home = std::getenv("HOME");
    const std::string saved = old_home ? old_home : "";
    ::setenv("HOME", home.c_str(), 1);

    auto handset = plug();
    show();
    open_and_verify(test_packages().plain.path);
    press_action();
    ASSERT_TRUE(wait_idle(flash_timeout_ms));
    ::setenv("HOME", saved.c_str(), 1);
    EXPECT_EQ(messages_.messages(),
              std::vector<std::string>{"Checking the package failed: not signed (trusted keys are configured: only a "
                                       "package signed by one of them is flashed). Nothing was written to the "
                                       "handset; correct the cause and flash again."});
    EXPECT_TRUE(all_zero(*handset, apptest::xbl_sector, 512));
}

TEST_F(flash_page_test, options_choose_what_is_written)
{
    const auto& pkg = test_packages().plain;
    show();
    open_and_verify(pkg.path);

    struct option_case {
        const char* item;
        bool boot_written;
        bool userdata_written;
    };
    const option_case cases[] = {
        {"Options/Flash Type/Keep Data", true, false},
        {"Options/Flash Type/Base Only", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.item);
        page_->menu_item(c.item).setonly();
        auto h = plug();
        ASSERT_TRUE(apptest::pump_until([&] { return button_reads("Flash"); }, detector_period_ms + 500));
        messages_.clear();
        press_action();
        ASSERT_TRUE(wait_idle(flash_timeout_ms));
        EXPECT_EQ(messages_.messages(), std::vector<std::string>{"Succeeded"});
        EXPECT_EQ(partition(*h, apptest::xbl_sector, pkg.xbl.size()), pkg.xbl);
        EXPECT_TRUE(patched(*h));
        EXPECT_EQ(!all_zero(*h, apptest::boot_sector, 512), c.boot_written);
        EXPECT_EQ(!all_zero(*h, apptest::userdata_sector, 512), c.userdata_written);
        // The reset takes the handset off the bus; "Flash" stays on offer for the next one.
        EXPECT_TRUE(h->wait_detached(2000));
        vhandset::detach_all();
    }

    // No Write: the whole sequence runs, nothing reaches the storage.
    page_->menu_item("Options/Flash Type/Full").setonly();
    page_->menu_item("Options/No Write").set();
    auto h = plug();
    ASSERT_TRUE(apptest::pump_until([&] { return button_reads("Flash"); }, detector_period_ms + 500));
    messages_.clear();
    press_action();
    ASSERT_TRUE(wait_idle(flash_timeout_ms));
    EXPECT_EQ(messages_.messages(), std::vector<std::string>{"Succeeded"});
    EXPECT_TRUE(all_zero(*h, apptest::xbl_sector, 512));
    EXPECT_TRUE(all_zero(*h, apptest::boot_sector, 512));
}

TEST_F(flash_page_test, cancel_during_flash_skips_the_os_partitions_and_still_succeeds)
{
    vhandset::handset_options slow;
    slow.response_delay_ms = 40;
    auto h = plug(slow);
    show();
    open_and_verify(test_packages().plain.path);
    ASSERT_TRUE(button_reads("Flash"));
    press_action();
    // The flash reports its first base partition; the OS partitions are still ahead.
    ASSERT_TRUE(apptest::pump_until([&] { return progress_text().rfind("Writing xbl", 0) == 0; }, flash_timeout_ms));
    press_action();
    EXPECT_TRUE(button_reads("Cancel"));
    ASSERT_TRUE(wait_idle(flash_timeout_ms));
    EXPECT_EQ(messages_.messages(), std::vector<std::string>{"Succeeded"});
    const auto& pkg = test_packages().plain;
    EXPECT_EQ(partition(*h, apptest::xbl_sector, pkg.xbl.size()), pkg.xbl);
    EXPECT_TRUE(patched(*h));
    EXPECT_TRUE(all_zero(*h, apptest::boot_sector, 512));
    EXPECT_TRUE(all_zero(*h, apptest::userdata_sector, 512));
    // The reset still went out.
    EXPECT_TRUE(h->wait_detached(2000));
}

TEST_F(flash_page_test, hide_event_stops_watching_and_show_resumes_but_not_during_a_flash)
{
    show();
    ASSERT_TRUE(page_->detector().running());
    page_->handle(FL_HIDE);
    EXPECT_FALSE(page_->detector().running());
    plug();
    apptest::pump_for(detector_period_ms);
    EXPECT_FALSE(page_->device_present());
    page_->handle(FL_SHOW);
    EXPECT_TRUE(page_->detector().running());
    ASSERT_TRUE(apptest::pump_until([&] { return page_->device_present(); }, 500));

    open_and_verify(test_packages().plain.path);
    press_action();
    ASSERT_TRUE(page_->worker_running());
    page_->handle(FL_HIDE);
    page_->handle(FL_SHOW);
    // The worker owns the handset until the flash ends.
    EXPECT_FALSE(page_->detector().running());
    ASSERT_TRUE(wait_idle(flash_timeout_ms));
    EXPECT_TRUE(page_->detector().running());
    EXPECT_EQ(messages_.messages(), std::vector<std::string>{"Succeeded"});
}

TEST_F(flash_page_test, progress_reports_reach_the_message_line_before_completion)
{
    show();
    page_->open_package(test_packages().big.path.string());
    std::vector<unsigned> seen;
    ASSERT_TRUE(apptest::pump_until(
        [&] {
            seen.push_back(static_cast<unsigned>(page_->progress_page().bar().value()));
            return !page_->worker_running();
        },
        verify_timeout_ms));
    // The bar moved through intermediate values and the package's own text replaced the initial one.
    bool intermediate = false;
    for (unsigned v : seen)
        intermediate = intermediate || (v > 0 && v < 100);
    EXPECT_TRUE(intermediate);
    EXPECT_DOUBLE_EQ(page_->progress_page().bar().value(), 100.0);
    EXPECT_NE(progress_text(), "Verifying package...");
}

TEST_F(flash_page_test, quit_during_verification_waits_for_the_worker_and_closes)
{
    show();
    page_->open_package(test_packages().big.path.string());
    ASSERT_TRUE(page_->worker_running());
    page_->quit();
    EXPECT_FALSE(page_->worker_running());
    EXPECT_FALSE(page_->package().is_open());
    EXPECT_TRUE(messages_.messages().empty());
}

TEST_F(flash_page_test, quit_during_flash_lets_the_handset_finish_and_reset)
{
    vhandset::handset_options slow;
    slow.response_delay_ms = 20;
    auto h = plug(slow);
    show();
    open_and_verify(test_packages().plain.path);
    press_action();
    // Once writing has begun; a quit before it stops the flash with nothing written.
    ASSERT_TRUE(apptest::pump_until([&] { return progress_text().rfind("Writing", 0) == 0; }, flash_timeout_ms));
    page_->quit();
    EXPECT_FALSE(page_->worker_running());
    EXPECT_FALSE(page_->package().is_open());
    EXPECT_TRUE(messages_.messages().empty());
    EXPECT_TRUE(patched(*h));
    EXPECT_TRUE(h->wait_detached(2000));
}

TEST_F(flash_page_test, closing_the_window_during_a_flash_ends_the_loop_after_the_worker)
{
    plug();
    show();
    open_and_verify(test_packages().plain.path);
    press_action();
    ASSERT_TRUE(page_->worker_running());
    window_->do_callback();
    EXPECT_FALSE(page_->worker_running());
    EXPECT_FALSE(window_->shown());
    EXPECT_FALSE(page_->detector().running());
    EXPECT_TRUE(messages_.messages().empty());
}

TEST_F(flash_page_test, closing_the_window_during_verification_ends_the_loop_after_the_worker)
{
    show();
    page_->open_package(test_packages().big.path.string());
    window_->do_callback();
    EXPECT_FALSE(page_->worker_running());
    EXPECT_FALSE(window_->shown());
}

// Makes every new thread ask for more stack than the address space holds.
class refuse_threads {
public:
    refuse_threads()
    {
        pthread_getattr_default_np(&saved_);
        pthread_attr_t huge;
        pthread_attr_init(&huge);
        pthread_attr_setstacksize(&huge, std::size_t{1} << 47);
        pthread_setattr_default_np(&huge);
        pthread_attr_destroy(&huge);
    }
    ~refuse_threads()
    {
        pthread_setattr_default_np(&saved_);
        pthread_attr_destroy(&saved_);
    }

private:
    pthread_attr_t saved_;
};

TEST_F(flash_page_test, verification_worker_that_cannot_start_is_reported_and_nothing_stays_busy)
{
    show();
    {
        refuse_threads refuse;
        page_->open_package(test_packages().plain.path.string());
    }
    EXPECT_EQ(messages_.messages(), std::vector<std::string>{"Cannot start worker thread"});
    EXPECT_FALSE(page_->worker_running());
    EXPECT_FALSE(page_->package().is_open());
    EXPECT_TRUE(button_hidden());
    EXPECT_FALSE(progress_shown());
    EXPECT_TRUE(item_active("File/Open"));
    EXPECT_TRUE(item_active("File/Close"));

    // Afterwards the same package verifies normally.
    messages_.clear();
    open_and_verify(test_packages().plain.path);
    EXPECT_TRUE(messages_.messages().empty());
    EXPECT_TRUE(package_shown());
}

TEST_F(flash_page_test, flash_worker_that_cannot_start_is_reported_and_flash_stays_on_offer)
{
    auto h = plug();
    show();
    open_and_verify(test_packages().plain.path);
    ASSERT_TRUE(button_reads("Flash"));
    {
        refuse_threads refuse;
        press_action();
    }
    EXPECT_EQ(messages_.messages(), std::vector<std::string>{"Cannot start worker thread"});
    EXPECT_FALSE(page_->worker_running());
    EXPECT_TRUE(button_reads("Flash"));
    EXPECT_FALSE(progress_shown());
    EXPECT_TRUE(page_->detector().running());
    EXPECT_TRUE(item_active("File/Open"));
    EXPECT_TRUE(all_zero(*h, apptest::xbl_sector, 512));
    // Nothing was sent to the handset, so nothing says it may be unplugged.
    EXPECT_EQ(footer_text(), "Device detected");
}

TEST(flash_page_quit, file_quit_during_verification_exits_with_status_zero)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Fl::lock();
            Fl_Double_Window* window = create_main_window();
            window->show();
            flash_page& page = page_of(*window);
            page.open_package(test_packages().big.path.string());
            flash_page::quit_cb(nullptr, &page);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
