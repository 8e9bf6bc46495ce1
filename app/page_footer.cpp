#include "page_footer.h"

#include "logo.h"
#include "theme.h"

#include <FL/fl_draw.H>

namespace {
constexpr int text_left = 40;
constexpr int baseline_below_middle = 6;
constexpr int logo_right_margin = 10;
} // namespace

page_footer::page_footer(int x, int y, int w, int h, const char* label)
    : Fl_Widget(x, y, w, h, label),
      logo_(std::make_unique<Fl_PNG_Image>(nullptr, logo_png, static_cast<int>(logo_png_size)))
{
}

void page_footer::set_text(const char* text)
{
    copy_label(text);
    redraw();
}

void page_footer::draw()
{
    fl_rectf(x(), y(), w(), h(), theme::dark_grey);
    if (label() != nullptr) {
        fl_color(theme::near_white);
        fl_font(theme::font, theme::footer_size);
        fl_draw(label(), x() + text_left, y() + h() / 2 + baseline_below_middle);
    }
    logo_->draw(x() + w() - logo_->w() - logo_right_margin, y() + h() / 2 - logo_->h() / 2);
}
