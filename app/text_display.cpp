#include "text_display.h"

text_display::text_display(int x, int y, int w, int h, const char* label)
    : Fl_Text_Display(x, y, w, h, label)
{
    // Claiming FL_FOCUS below would otherwise let keyboard navigation park the
    // focus here, where every key would be swallowed.
    clear_visible_focus();
}

int text_display::handle(int event)
{
    if (event == FL_HIDE || event == FL_SHOW)
        return Fl_Text_Display::handle(event);
    return 1;
}
