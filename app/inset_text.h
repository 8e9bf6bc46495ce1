// Text drawing shared by textlabel and button: left-aligned, its top `inset`
// pixels inside the top-left corner of the box, never clipped.
#pragma once

#include <FL/Enumerations.H>

// Draws nothing for a null text.
void draw_inset_text(const char* text, Fl_Font font, Fl_Fontsize size, Fl_Color colour, int x, int y, int inset);
