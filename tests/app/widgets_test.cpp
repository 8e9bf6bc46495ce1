// How the custom widgets and the strips look on screen, read back as pixels
// from a shown window, and how the notes view treats input.
// GoogleTest goes first: the toolkit pulls in X11 headers whose macros clash with it.
#include <gtest/gtest.h>

#include "app_test_support.h"
#include "pages.h"
#include "theme.h"
#include "widgets.h"

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Text_Buffer.H>

#include <memory>
#include <string>

namespace {

using apptest::area_has_colour;
using apptest::pixel_at;

constexpr std::uint32_t dark = 0x404040;
constexpr std::uint32_t light = 0xd8d8d8;
constexpr std::uint32_t near_white = 0xf0f0f0;
constexpr std::uint32_t grey = 0x505050;
constexpr std::uint32_t window_grey = 0x102030;

class widget_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        window_ = std::make_unique<Fl_Double_Window>(960, 720, "widgets");
        window_->color(0x10203000);  // a background no widget uses
        window_->begin();
    }

    void show()
    {
        window_->end();
        window_->show();
        ASSERT_TRUE(apptest::pump_until([&] { return window_->shown() && window_->visible(); }, 2000));
        apptest::pump_for(50);
    }

    bool uniform(int x, int y, int w, int h, std::uint32_t rgb)
    {
        return apptest::area_is_uniform(*window_, x, y, w, h, rgb);
    }

    std::unique_ptr<Fl_Double_Window> window_;
};

TEST_F(widget_test, textlabel_without_text_is_only_its_fill_and_text_sits_at_the_inset)
{
    auto* empty = new textlabel(10, 10, 200, 32);
    empty->color(0x40404000);
    auto* titled = new textlabel(10, 60, 400, 32);
    titled->color(0x40404000);
    titled->labelcolor(0xd8d8d800);
    titled->labelsize(18);
    titled->align(FL_ALIGN_RIGHT);  // ignored: the text is always at the top-left inset
    titled->copy_label("Handset");
    show();

    EXPECT_TRUE(uniform(10, 10, 200, 32, dark));

    // The text starts 5 pixels in and is not centred or right-aligned.
    EXPECT_TRUE(area_has_colour(*window_, 15, 65, 80, 27, light));
    EXPECT_FALSE(area_has_colour(*window_, 10, 60, 5, 32, light));
    EXPECT_FALSE(area_has_colour(*window_, 10, 60, 400, 4, light));
    EXPECT_FALSE(area_has_colour(*window_, 200, 60, 210, 32, light));
}

TEST_F(widget_test, button_colours_follow_the_press_whatever_its_creator_set)
{
    auto* b = new button(100, 100, 60, 20, "Flash");
    b->color(FL_RED);
    b->labelcolor(FL_BLUE);
    b->labelsize(14);
    show();

    // Released: light face, grey text at the left inset.
    EXPECT_EQ(pixel_at(*window_, 157, 117), light);
    EXPECT_TRUE(area_has_colour(*window_, 105, 103, 40, 17, grey));
    EXPECT_FALSE(area_has_colour(*window_, 100, 100, 60, 20, 0xff0000));

    b->value(1);
    b->redraw();
    EXPECT_EQ(pixel_at(*window_, 157, 117), dark);
    EXPECT_TRUE(area_has_colour(*window_, 105, 103, 40, 17, near_white));
    EXPECT_FALSE(area_has_colour(*window_, 100, 100, 60, 20, light));

    b->value(0);
    b->redraw();
    EXPECT_EQ(pixel_at(*window_, 157, 117), light);
}

TEST_F(widget_test, long_button_label_runs_past_the_right_edge)
{
    auto* b = new button(100, 100, 60, 20, "A label much wider than its button");
    b->labelsize(14);
    show();
    EXPECT_TRUE(area_has_colour(*window_, 165, 100, 200, 20, grey));
    // Outside the face the window's own background remains.
    EXPECT_EQ(pixel_at(*window_, 400, 110), window_grey);
}

// Exposes the first visible line so that scrolling can be observed.
template <typename base>
class scroll_probe : public base {
public:
    using base::base;
    int top_line() const { return this->mTopLineNum; }
};

struct input_outcome {
    int top_line = 0;
    bool selected = false;
    bool focused = false;
};

// Mouse wheel, click and drag, and keys, as the toolkit delivers them.
template <typename view>
input_outcome send_input(view& v)
{
    Fl::e_x = v.x() + 20;
    Fl::e_y = v.y() + 20;
    Fl::e_dx = 0;
    Fl::e_dy = 5;
    v.handle(FL_MOUSEWHEEL);
    Fl::e_dy = 0;
    Fl::e_keysym = FL_Page_Down;
    Fl::e_state = 0;
    v.handle(FL_KEYBOARD);
    Fl::e_state = FL_BUTTON1;
    Fl::e_keysym = FL_Button + FL_LEFT_MOUSE;
    v.handle(FL_PUSH);
    Fl::e_x = v.x() + 200;
    Fl::e_y = v.y() + 60;
    v.handle(FL_DRAG);
    Fl::e_state = 0;
    v.handle(FL_RELEASE);
    v.take_focus();
    input_outcome out;
    out.top_line = v.top_line();
    out.selected = v.buffer()->selected() != 0;
    out.focused = Fl::focus() == &v;
    return out;
}

TEST_F(widget_test, notes_view_ignores_mouse_wheel_and_keys_that_move_a_plain_view)
{
    std::string text;
    for (int i = 0; i < 300; ++i)
        text += "line " + std::to_string(i) + " of the release notes\n";
    Fl_Text_Buffer notes_text;
    notes_text.text(text.c_str());
    Fl_Text_Buffer plain_text;
    plain_text.text(text.c_str());

    auto* notes = new scroll_probe<text_display>(10, 10, 400, 300);
    notes->buffer(&notes_text);
    auto* plain = new scroll_probe<Fl_Text_Display>(500, 10, 400, 300);
    plain->buffer(&plain_text);
    show();

    input_outcome control = send_input(*plain);
    // The same input really moves and selects in the toolkit's own view...
    EXPECT_GT(control.top_line, 1);
    EXPECT_TRUE(control.selected);

    input_outcome ours = send_input(*notes);
    // ...and changes nothing in the notes view.
    EXPECT_EQ(ours.top_line, 1);
    EXPECT_FALSE(ours.selected);
    EXPECT_FALSE(ours.focused);

    // Both views must let go of their buffers before the buffers end.
    window_->hide();
    notes->buffer(nullptr);
    plain->buffer(nullptr);
}

TEST_F(widget_test, progress_strip_is_a_plain_dark_band_until_shown)
{
    auto* strip = new page_progress(0, 576, 960, 44);
    show();
    EXPECT_TRUE(uniform(0, 576, 960, 44, dark));

    strip->set_progress(50, "Writing boot.img to boot");
    strip->show_progress();
    strip->show_button("Cancel");
    window_->redraw();
    // The bar fills from its left end; the message sits under it; the button at the right.
    EXPECT_FALSE(uniform(40, 576, 816, 20, dark));
    EXPECT_TRUE(area_has_colour(*window_, 45, 599, 300, 21, light));
    EXPECT_EQ(pixel_at(*window_, 917, 593), light);
    EXPECT_EQ(std::string(strip->message().label()), "Writing boot.img to boot");
    EXPECT_DOUBLE_EQ(strip->bar().value(), 50.0);

    strip->hide_progress();
    strip->hide_button();
    window_->redraw();
    EXPECT_TRUE(uniform(0, 576, 960, 44, dark));
}

TEST_F(widget_test, footer_shows_text_at_left_and_logo_at_right)
{
    auto* footer = new page_footer(0, 620, 960, 100);
    footer->set_text("Please connect your device");
    show();

    EXPECT_EQ(footer->logo_image().w(), 94);
    EXPECT_EQ(footer->logo_image().h(), 21);
    EXPECT_EQ(pixel_at(*window_, 5, 625), dark);
    EXPECT_EQ(pixel_at(*window_, 500, 715), dark);
    // Text: baseline at y 676 from x 40, in near white.
    EXPECT_TRUE(area_has_colour(*window_, 40, 660, 200, 17, near_white));
    EXPECT_FALSE(area_has_colour(*window_, 0, 620, 40, 100, near_white));
    EXPECT_FALSE(area_has_colour(*window_, 40, 620, 400, 35, near_white));
    // Logo: 94x21 at (856, 660).
    EXPECT_TRUE(area_has_colour(*window_, 856, 660, 94, 21, near_white));
    EXPECT_FALSE(area_has_colour(*window_, 600, 620, 250, 100, near_white));

    footer->set_text("Device detected");
    EXPECT_EQ(std::string(footer->label()), "Device detected");
}

} // namespace
