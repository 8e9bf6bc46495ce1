#include "button.h"

#include "inset_text.h"
#include "theme.h"

#include <FL/fl_draw.H>

button::button(int x, int y, int w, int h, const char* label)
    : Fl_Button(x, y, w, h, label), inset(theme::text_inset)
{
}

void button::draw()
{
    if (value() != 0) {
        color(theme::dark_grey);
        labelcolor(theme::near_white);
    } else {
        color(theme::light_grey);
        labelcolor(theme::grey);
    }
    fl_rectf(x(), y(), w(), h(), color());
    draw_inset_text(label(), labelfont(), labelsize(), labelcolor(), x(), y(), inset);
}
