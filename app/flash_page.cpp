#include "flash_page.h"

#include "brp_source.h"
#include "package_trust.h"
#include "flash.h"

#include "device_detector.h"
#include "log.h"
#include "main_window.h"
#include "message_box.h"
#include "pages.h"
#include "theme.h"
#include "usb.h"

#include <FL/Fl.H>
#include <FL/Fl_File_Chooser.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Window.H>

#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <vector>

namespace {
constexpr int menu_height = 20;
constexpr int pkginfo_top = 20;
constexpr int pkginfo_height = 556;
constexpr int progress_top = 576;
constexpr int progress_height = 44;
constexpr int footer_top = 620;
constexpr int footer_height = 100;

constexpr char item_open[] = "File/Open";
constexpr char item_close[] = "File/Close";
constexpr char item_quit[] = "File/Quit";
constexpr char item_no_write[] = "Options/No Write";
constexpr char item_full[] = "Options/Flash Type/Full";
constexpr char item_keep_data[] = "Options/Flash Type/Keep Data";
constexpr char item_base_only[] = "Options/Flash Type/Base Only";
constexpr int no_shortcut = 0;

constexpr char text_connect[] = "Please connect your device";
constexpr char text_detected[] = "Device detected";
constexpr char text_safe[] = "It is now safe to disconnect your device.";
constexpr char text_flash[] = "Flash";
constexpr char text_cancel[] = "Cancel";
constexpr char text_verifying[] = "Verifying package...";
constexpr char text_flashing[] = "Flashing...";
constexpr char text_succeeded[] = "Succeeded";
constexpr char text_validation_failed[] = "Package validation failed";
constexpr char text_no_thread[] = "Cannot start worker thread";
constexpr char text_unknown_failure[] = "Unknown failure";

constexpr char chooser_directory[] = ".";
constexpr char chooser_pattern[] = "BRP files (*.brp)";
constexpr char chooser_title[] = "Choose package";

// How long a worker waits before offering its completion again when the
// toolkit's wake-up queue is full, and how often the GUI loop is run while a
// quit waits for the worker.
constexpr std::uint32_t completion_retry_ms = 1;
constexpr double finish_poll_seconds = 0.05;

constexpr int exit_status = 0;

const std::vector<usb_vidpid_t>& watched_identities()
{
    static const std::vector<usb_vidpid_t> ids{edl_identity};
    return ids;
}

const char* yes_no(bool value)
{
    return value ? "true" : "false";
}

// A progress post that does not fit into the toolkit's wake-up queue is only a
// missed refresh, but a completion must never be lost: without it the worker
// is never joined and the page stays busy for good.
void post_completion(Fl_Awake_Handler handler, void* page)
{
    while (Fl::awake(handler, page) != 0)
        sleep_ms(completion_retry_ms);
}
} // namespace

flash_page::flash_page()
    : Fl_Group(0, 0, main_window->w(), main_window->h()),
      progress_handler()
{
    color(theme::page_colour);

    menu_bar_ = new Fl_Menu_Bar(0, 0, w(), menu_height);
    menu_bar_->add(item_open, no_shortcut, open_cb, this, 0);
    menu_bar_->add(item_close, no_shortcut, close_cb, this, 0);
    menu_bar_->add(item_quit, no_shortcut, quit_cb, this, 0);
    menu_bar_->add(item_no_write, no_shortcut, nullptr, nullptr, FL_MENU_TOGGLE);
    menu_bar_->add(item_full, no_shortcut, nullptr, nullptr, FL_MENU_RADIO | FL_MENU_VALUE);
    menu_bar_->add(item_keep_data, no_shortcut, nullptr, nullptr, FL_MENU_RADIO);
    menu_bar_->add(item_base_only, no_shortcut, nullptr, nullptr, FL_MENU_RADIO);

    pkginfo_ = new page_pkginfo(0, pkginfo_top, w(), pkginfo_height);
    progress_page_ = new page_progress(0, progress_top, w(), progress_height);
    footer_ = new page_footer(0, footer_top, w(), footer_height);

    detector_ = std::make_unique<device_detector>(device_detect_cb, this);

    device_present_ = false;
    package_verified_ = false;
    update_status();
    end();
}

flash_page::~flash_page()
{
    // The worker reads the package and posts to this page: neither may go first.
    finish_worker();
    detector_->stop();
}

Fl_Menu_Item& flash_page::menu_item(const char* path)
{
    const Fl_Menu_Item* item = menu_bar_->find_item(path);
    if (item == nullptr)
        throw std::logic_error(std::string("flash_page: no menu item ") + path);
    // The bar owns a writable copy of its items (they were added one by one).
    return const_cast<Fl_Menu_Item&>(*item);
}

int flash_page::handle(int event)
{
    if (event == FL_HIDE)
        on_hide();
    else if (event == FL_SHOW)
        on_show();
    return Fl_Group::handle(event);
}

void flash_page::changed()
{
    Fl::awake(update_progress, this);
}

void flash_page::finished()
{
    Fl::awake(update_progress, this);
}

void flash_page::on_show()
{
    log_info("flash_page::on_show: enter\n");
    // During a flash the worker owns the handset; flash_done starts watching again.
    if (!flashing_)
        start_detector();
}

void flash_page::on_hide()
{
    detector_->stop();
}

void flash_page::start_detector()
{
    detector_->start(watched_identities());
}

void flash_page::open_cb(Fl_Widget*, void* data)
{
    auto* page = static_cast<flash_page*>(data);
    if (page->worker_running_)
        return;
    Fl_File_Chooser chooser(chooser_directory, chooser_pattern, Fl_File_Chooser::SINGLE, chooser_title);
    chooser.show();
    while (chooser.shown())
        Fl::wait();
    const char* chosen = chooser.value(1);
    if (chosen == nullptr)
        return;
    std::string path(chosen);
    page->open_package(path);
}

void flash_page::close_cb(Fl_Widget*, void* data)
{
    auto* page = static_cast<flash_page*>(data);
    if (page->worker_running_)
        return;
    page->close_package();
}

void flash_page::quit_cb(Fl_Widget*, void* data)
{
    static_cast<flash_page*>(data)->quit();
    std::exit(exit_status);
}

void flash_page::quit()
{
    finish_worker();
    package_.close();
}

void flash_page::open_package(const std::string& path)
{
    if (worker_running_) {
        log_error("open_package: a worker is running\n");
        return;
    }
    close_package();
    try {
        package_.open(path);
    } catch (const std::exception& e) {
        // A failed open can leave the archive half-loaded; the page shows no package, so hold none.
        package_.close();
        show_message("Failed to open %s: %s\n", path.c_str(), e.what());
        return;
    }
    verify_start();
}

void flash_page::close_package()
{
    if (worker_running_) {
        log_error("close_package: a worker is running\n");
        return;
    }
    package_.close();
    package_verified_ = false;
    pkginfo_->clear();
    progress_page_->hide_progress();
    progress_page_->hide_button();
}

bool flash_page::start_worker(bool (*function)(void*))
{
    worker_.function = function;
    worker_.argument = this;
    worker_running_ = true;
    if (!thread_start(worker_)) {
        worker_running_ = false;
        log_error("start_worker: %s\n", text_no_thread);
        return false;
    }
    return true;
}

void flash_page::set_busy_menu(bool busy)
{
    for (const char* path : {item_open, item_close}) {
        Fl_Menu_Item& item = menu_item(path);
        if (busy)
            item.deactivate();
        else
            item.activate();
    }
}

void flash_page::set_cursor(Fl_Cursor cursor)
{
    if (Fl_Window* top = window())
        top->cursor(cursor);
}

void flash_page::verify_start()
{
    log_info("Verify package start\n");
    set_busy_menu(true);
    progress_page_->set_progress(0, text_verifying);
    progress_page_->show_progress();
    progress_page_->show_button(text_cancel);
    progress_page_->set_action(progress_cancel_cb, this);
    if (!start_worker(verify_worker)) {
        validate_finished(false, text_no_thread);
    }
}

bool flash_page::verify_worker(void* data)
{
    auto* page = static_cast<flash_page*>(data);
    bool success = false;
    try {
        package_trust trust;
        success = trust.verify(page->package_, *page);
        page->signer_ = trust.outcome();
    } catch (const std::exception& e) {
        // An escaping exception would end the process; a package that cannot be read is not intact.
        log_error("verify_worker: %s\n", e.what());
    }
    post_completion(validate_done, page);
    return success;
}

void flash_page::validate_done(void* data)
{
    auto* page = static_cast<flash_page*>(data);
    thread_join(page->worker_);
    page->worker_running_ = false;
    bool success = page->worker_.result;
    log_info("Validate done: success=%s\n", yes_no(success));
    page->validate_finished(success, text_validation_failed);
}

void flash_page::validate_finished(bool success, const char* failure_text)
{
    set_cursor(FL_CURSOR_DEFAULT);
    set_busy_menu(false);
    progress_page_->hide_progress();
    if (success) {
        package_verified_ = true;
        pkginfo_->set_package(package_);
        if (device_present_) {
            progress_page_->show_button(text_flash);
            progress_page_->set_action(progress_flash_cb, this);
        } else {
            progress_page_->clear_action();
            progress_page_->hide_button();
        }
        return;
    }
    if (!quitting_)
        show_message("%s", failure_text);
    package_.close();
    progress_page_->clear_action();
    progress_page_->hide_button();
}

void flash_page::flash_start()
{
    if (worker_running_) {
        log_error("flash_start: a worker is running\n");
        return;
    }
    detector_->stop();
    progress_page_->set_progress(0, text_flashing);
    progress_page_->show_progress();
    progress_page_->show_button(text_cancel);
    progress_page_->set_action(progress_cancel_cb, this);

    // Read here, on the GUI thread, and handed to the worker.
    no_write_ = menu_item(item_no_write).value() != 0;
    flash_type_ = 0;
    if (menu_item(item_full).value() != 0)
        flash_type_ = full;
    if (menu_item(item_keep_data).value() != 0)
        flash_type_ = keep_data;
    if (menu_item(item_base_only).value() != 0)
        flash_type_ = base_only;

    set_busy_menu(true);
    flashing_ = true;
    // A request left from an earlier flash must not stop this one.
    package_.cancellation().clear();
    if (!start_worker(flash_worker)) {
        flashing_ = false;
        error_text_ = text_no_thread;
        // Nothing reached the handset: report the failure, but do not claim the
        // handset is safe to disconnect; the detector simply watches again.
        flash_finished(false, false);
    }
}

bool flash_page::flash_worker(void* data)
{
    auto* page = static_cast<flash_page*>(data);
    bool success = false;
    flash_options options;
    options.no_write = page->no_write_;
    options.type = page->flash_type_;
    options.cancel = &page->package_.cancellation();
    options.before_handset = [signer = page->signer_] { require_trusted(signer, false); };
    try {
        brp_source source(page->package_);
        flash_attached_handset(source, *page, options);
        success = true;
    } catch (const std::exception& e) {
        page->error_text_ = e.what();
    } catch (...) {
        // Whatever went wrong, the device is closed and the page told.
        page->error_text_ = text_unknown_failure;
    }
    post_completion(flash_done, page);
    return success;
}

void flash_page::flash_done(void* data)
{
    auto* page = static_cast<flash_page*>(data);
    thread_join(page->worker_);
    page->worker_running_ = false;
    page->flashing_ = false;
    bool success = page->worker_.result;
    log_info("flash_done: success=%s\n", yes_no(success));
    page->flash_finished(success, true);
}

void flash_page::flash_finished(bool success, bool handset_touched)
{
    set_cursor(FL_CURSOR_DEFAULT);
    set_busy_menu(false);
    progress_page_->hide_progress();
    progress_page_->show_button(text_flash);
    progress_page_->set_action(progress_flash_cb, this);
    if (quitting_)
        return;
    show_message("%s", success ? text_succeeded : error_text_.c_str());
    if (handset_touched)
        footer_->set_text(text_safe);
    start_detector();
}

void flash_page::progress_flash_cb(Fl_Widget*, void* data)
{
    log_info("progress_flash_cb: enter\n");
    static_cast<flash_page*>(data)->flash_start();
}

void flash_page::progress_cancel_cb(Fl_Widget*, void* data)
{
    log_info("progress_cancel_cb: enter\n");
    static_cast<flash_page*>(data)->cancel_worker();
}

void flash_page::cancel_worker()
{
    set_cursor(FL_CURSOR_WAIT);
    package_.cancel();
}

void flash_page::finish_worker()
{
    if (!worker_running_)
        return;
    quitting_ = true;
    set_cursor(FL_CURSOR_WAIT);
    // A verification clears the cancel request when it begins, so a request
    // made in the instant after its start would be lost: keep repeating it.
    while (worker_running_) {
        package_.cancel();
        Fl::wait(finish_poll_seconds);
    }
    quitting_ = false;
}

void flash_page::device_detect_cb(bool present, void* data)
{
    log_info("device_detect_cb: present=%s\n", yes_no(present));
    static_cast<flash_page*>(data)->set_device_present(present);
}

void flash_page::set_device_present(bool present)
{
    if (present == device_present_)
        return;
    device_present_ = present;
    update_status();
}

void flash_page::update_status()
{
    footer_->set_text(device_present_ ? text_detected : text_connect);
    // Never offer a second worker while one runs in the single worker record.
    if (package_verified_ && device_present_ && !worker_running_) {
        progress_page_->set_action(progress_flash_cb, this);
        progress_page_->show_button(text_flash);
    } else {
        progress_page_->clear_action();
        progress_page_->hide_button();
    }
}

void flash_page::update_progress(void* data)
{
    static_cast<flash_page*>(data)->update_progress();
}

void flash_page::update_progress()
{
    // percent() and message() are copies taken under the handler's lock.
    progress_page_->set_progress(percent(), message().c_str());
}
