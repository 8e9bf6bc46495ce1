#include "inset_text.h"

#include <FL/fl_draw.H>

void draw_inset_text(const char* text, Fl_Font font, Fl_Fontsize size, Fl_Color colour, int x, int y, int inset)
{
    if (text == nullptr)
        return;
    fl_font(font, size);
    int width = 0;
    int height = 0;
    fl_measure(text, width, height, 1);
    // The height without the descent puts the baseline so the text's top sits at the inset.
    height -= fl_descent();
    fl_color(colour);
    fl_draw(text, x + inset, y + inset + height);
}
