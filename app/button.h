// A flat push button with the theme's own colours: light face and grey text
// while released, dark face and near-white text while held down, whatever
// colours its creator set. The label is left-aligned at `inset` pixels like a
// textlabel and may run past the right edge. The toolkit's push-button
// behaviour is kept: the callback runs on release.
#pragma once

#include <FL/Fl_Button.H>

#include <cstdint>

class button : public Fl_Button {
public:
    button(int x, int y, int w, int h, const char* label = "");

    std::int32_t inset;

protected:
    void draw() override;
};
