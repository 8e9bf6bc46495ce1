// A read-only text view that ignores every input: mouse, wheel and keys change
// nothing (no selection, no scrolling), and it never takes the keyboard focus.
// Only the show and hide events reach the toolkit's text display.
#pragma once

#include <FL/Fl_Text_Display.H>

class text_display : public Fl_Text_Display {
public:
    text_display(int x, int y, int w, int h, const char* label = nullptr);

    int handle(int event) override;
};
