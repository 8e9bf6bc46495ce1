// The flat dark look shared by every page and widget: colours in the toolkit's
// 0xRRGGBB00 form, the one font, and the text inset the custom widgets use.
#pragma once

#include <FL/Enumerations.H>

namespace theme {

constexpr Fl_Color dark_grey = 0x40404000;   // backgrounds, pressed button face
constexpr Fl_Color light_grey = 0xd8d8d800;  // label and notes text, released button face
constexpr Fl_Color near_white = 0xf0f0f000;  // footer text, pressed button text
constexpr Fl_Color grey = 0x50505000;        // released button text
constexpr Fl_Color page_colour = 0xf8f8f800; // the flash page's own (never drawn) colour

constexpr Fl_Font font = FL_HELVETICA;
constexpr Fl_Fontsize title_size = 18;
constexpr Fl_Fontsize message_size = 14;
constexpr Fl_Fontsize footer_size = 13;

// Pixels between a widget's top-left corner and its text.
constexpr int text_inset = 5;

} // namespace theme
