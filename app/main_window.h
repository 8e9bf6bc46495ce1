// The application's one top-level window and the entry point's body.
#pragma once

#include <FL/Fl_Double_Window.H>

class flash_page;

// The only top-level window; set by create_main_window, never deleted by the program.
extern Fl_Double_Window* main_window;

constexpr int main_window_width = 960;
constexpr int main_window_height = 720;

// Creates the 960x720 "Brenvik" window (not resizable) with a flash_page as its
// only child, stores it in main_window and returns it; it is not shown yet.
// Closing the window first lets a running worker finish (see flash_page::finish_worker).
Fl_Double_Window* create_main_window();

// The flash page inside a window made by create_main_window.
flash_page& page_of(Fl_Double_Window& window);

// Sets up the toolkit, shows the main window (argc/argv go to the toolkit's
// standard options) and runs the loop until no window is shown. Returns 0.
int run_application(int argc, char** argv);
