// The footer: one line of status text (the widget's own label) at the left and
// the product logo at the right, on the dark background.
#pragma once

#include <FL/Fl_PNG_Image.H>
#include <FL/Fl_Widget.H>

#include <memory>

class page_footer : public Fl_Widget {
public:
    page_footer(int x, int y, int w, int h, const char* label = nullptr);

    // Copies the text as the label and redraws.
    void set_text(const char* text);

    const Fl_PNG_Image& logo_image() const { return *logo_; }

protected:
    void draw() override;

private:
    std::unique_ptr<Fl_PNG_Image> logo_;
};
