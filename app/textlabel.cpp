#include "textlabel.h"

#include "inset_text.h"
#include "theme.h"

#include <FL/fl_draw.H>

textlabel::textlabel(int x, int y, int w, int h, const char* label)
    : Fl_Widget(x, y, w, h, label), inset(theme::text_inset)
{
}

void textlabel::draw()
{
    fl_rectf(x(), y(), w(), h(), color());
    draw_inset_text(label(), labelfont(), labelsize(), labelcolor(), x(), y(), inset);
}
