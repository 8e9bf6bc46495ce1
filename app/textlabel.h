// A flat filled label: the widget's colour as background and its label drawn
// left-aligned at `inset` pixels from the top-left corner, in its label font,
// size and colour. Alignment and box settings are not used; the text is not clipped.
// Set the text with copy_label() so the widget keeps its own copy.
#pragma once

#include <FL/Fl_Widget.H>

#include <cstdint>

class textlabel : public Fl_Widget {
public:
    textlabel(int x, int y, int w, int h, const char* label = nullptr);

    std::int32_t inset;

protected:
    void draw() override;
};
