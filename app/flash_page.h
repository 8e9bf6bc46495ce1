// The whole user interface below the window frame and the controller of the
// workflow: open a package, verify it on a worker thread, wait for exactly one
// handset in emergency-download mode, flash it on a worker thread, report.
//
// Threads: everything here runs on the GUI thread except verify_worker and
// flash_worker. A worker touches only the package, the progress state (this
// page's progress_handler base, which locks its own fields), error_text and the
// USB layer, and hands its results back with Fl::awake(handler, this), so
// progress updates always run before the same worker's completion handler.
// At most one worker exists; "File/Open" and "File/Close" are inactive while it
// runs, and quitting or closing the window first lets it finish.
#pragma once

#include "flash_options.h"
#include "fwpkg.h"
#include "verifier.h"
#include "progress.h"
#include "thread.h"

#include <FL/Fl_Group.H>

#include <cstdint>
#include <memory>
#include <string>

class Fl_Menu_Bar;
struct Fl_Menu_Item;
class device_detector;
class page_footer;
class page_pkginfo;
class page_progress;

class flash_page : public Fl_Group, public progress_handler {
public:
    // Fills the main window (main_window must be set and be the current group).
    flash_page();
    ~flash_page() override;

    // Show starts watching for the handset, hide stops it.
    int handle(int event) override;

    // Progress notifications, called on the worker thread: they only post update_progress.
    void started() override {}
    void changed() override;
    void finished() override;

    void on_show();
    void on_hide();

    // Closes any package, opens `path` and starts verifying it; a failure to
    // open is shown as "Failed to open <path>: <reason>" and leaves no package.
    void open_package(const std::string& path);
    // Closes the package and hides the package page, bar, message and button.
    void close_package();
    void verify_start();
    // Reads the options now (GUI thread) and starts the flash worker.
    void flash_start();
    // Busy cursor and a cancel request to the package; the worker ends on its own.
    void cancel_worker();
    void set_device_present(bool present);
    void update_status();
    void update_progress();

    // If a worker runs: requests cancel and keeps the GUI loop running until its
    // completion handler has run (which then shows no message box). Returns at
    // once otherwise. Anything the worker reads may be released afterwards.
    void finish_worker();
    // finish_worker, then closes the package: what "File/Quit" does before the process ends.
    void quit();

    // What the user sees, for observers.
    bool worker_running() const { return worker_running_; }
    bool device_present() const { return device_present_; }
    bool package_verified() const { return package_verified_; }
    const fwpkg& package() const { return package_; }
    Fl_Menu_Bar& menu_bar() { return *menu_bar_; }
    page_pkginfo& pkginfo() { return *pkginfo_; }
    page_progress& progress_page() { return *progress_page_; }
    page_footer& footer() { return *footer_; }
    device_detector& detector() { return *detector_; }
    // The menu item at `path` ("File/Open", "Options/No Write", ...).
    Fl_Menu_Item& menu_item(const char* path);

    // Toolkit callbacks; the user data is the page.
    static void open_cb(Fl_Widget* widget, void* page);
    static void close_cb(Fl_Widget* widget, void* page);
    static void quit_cb(Fl_Widget* widget, void* page);
    static void progress_flash_cb(Fl_Widget* widget, void* page);
    static void progress_cancel_cb(Fl_Widget* widget, void* page);
    static void device_detect_cb(bool present, void* page);

private:
    // Worker functions (worker thread) and their completion handlers (GUI thread).
    static bool verify_worker(void* page);
    static bool flash_worker(void* page);
    static void validate_done(void* page);
    static void flash_done(void* page);
    static void update_progress(void* page);

    // The state a verification ends in; failure_text is shown on failure (not while quitting).
    void validate_finished(bool success, const char* failure_text);
    // handset_touched: a flash worker ran (the footer then says the handset may be unplugged).
    void flash_finished(bool success, bool handset_touched);
    // Starts `function` in the worker record; false (and nothing runs) when the
    // system refuses the thread.
    bool start_worker(bool (*function)(void*));
    void set_busy_menu(bool busy);
    void set_cursor(Fl_Cursor cursor);
    void start_detector();

    fwpkg package_;
    // Who signed the package, found by the verification; a flash refuses a
    // package no trusted key signed.
    signature::outcome signer_;
    worker_thread worker_;
    std::string error_text_;
    Fl_Menu_Bar* menu_bar_;
    page_pkginfo* pkginfo_;
    page_progress* progress_page_;
    page_footer* footer_;
    std::unique_ptr<device_detector> detector_;
    bool device_present_ = false;
    bool package_verified_ = false;

    // GUI-thread bookkeeping around the worker.
    bool worker_running_ = false;
    bool flashing_ = false;
    bool quitting_ = false;
    // Options as read when "Flash" was pressed, handed to the flash worker.
    bool no_write_ = false;
    std::uint32_t flash_type_ = full;
};
