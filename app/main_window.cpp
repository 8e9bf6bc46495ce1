#include "main_window.h"

#include "flash_page.h"
#include "log.h"
#include "posted_work.h"
#include "theme.h"

#include <FL/Fl.H>

Fl_Double_Window* main_window = nullptr;

namespace {
constexpr unsigned application_log_level = 3;
constexpr int visual_mode = FL_DOUBLE | FL_INDEX;
constexpr char window_title[] = "Brenvik";

// The toolkit hides the window on close; the running worker must end first,
// because it still reads the package the page owns.
void window_close_cb(Fl_Widget* widget, void*)
{
    auto* window = static_cast<Fl_Double_Window*>(widget);
    page_of(*window).finish_worker();
    window->hide();
}
} // namespace

Fl_Double_Window* create_main_window()
{
    main_window = new Fl_Double_Window(main_window_width, main_window_height, window_title);
    new flash_page();  // owned by the window as its child
    main_window->end();
    main_window->callback(window_close_cb);
    return main_window;
}

flash_page& page_of(Fl_Double_Window& window)
{
    return *static_cast<flash_page*>(window.child(0));
}

int run_application(int argc, char** argv)
{
    log_level = application_log_level;
    Fl::visual(visual_mode);
    Fl::set_color(FL_BACKGROUND_COLOR, theme::dark_grey);
    Fl_Double_Window* window = create_main_window();
    window->show(argc, argv);
    Fl::lock();
    while (Fl::wait() > 0) {
        // Posts made with Fl::awake(handler, data) have already run inside Fl::wait.
        if (void* message = Fl::thread_message())
            static_cast<posted_work*>(message)->run();
    }
    return 0;
}
