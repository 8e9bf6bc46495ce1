#include "page_progress.h"

#include "button.h"
#include "log.h"
#include "textlabel.h"
#include "theme.h"

#include <FL/fl_draw.H>

namespace {
constexpr int side_margin = 40;
constexpr int width_reduction = 144;
constexpr int message_height = 24;
constexpr int button_right_offset = 100;
constexpr int button_width = 60;
constexpr int button_height = 20;
constexpr double bar_minimum = 0.0;
constexpr double bar_maximum = 100.0;
} // namespace

page_progress::page_progress(int x, int y, int w, int h) : Fl_Group(x, y, w, h)
{
    color(theme::dark_grey);
    // No action until the owner sets one.
    clear_action();

    bar_ = new Fl_Progress(x + side_margin, y, w - width_reduction, h - message_height);
    bar_->minimum(bar_minimum);
    bar_->maximum(bar_maximum);
    bar_->hide();

    message_ = new textlabel(x + side_margin, y + h - message_height, w - width_reduction, message_height);
    message_->color(theme::dark_grey);
    message_->labelcolor(theme::light_grey);
    message_->labelfont(theme::font);
    message_->labelsize(theme::message_size);
    message_->copy_label("");
    message_->hide();

    button_ = new button(x + w - button_right_offset, y, button_width, button_height, "");
    button_->color(theme::dark_grey);
    button_->labelcolor(theme::light_grey);
    button_->labelfont(theme::font);
    button_->labelsize(theme::message_size);
    button_->callback(action_cb, this);
    button_->hide();
    end();
}

page_progress::~page_progress()
{
    delete button_;
    delete message_;
    delete bar_;
}

void page_progress::set_progress(unsigned percent, const char* text)
{
    bar_->value(static_cast<float>(percent));
    message_->copy_label(text);
}

void page_progress::show_progress()
{
    bar_->show();
    message_->show();
}

void page_progress::hide_progress()
{
    bar_->hide();
    message_->hide();
}

void page_progress::show_button(const char* text)
{
    button_->copy_label(text);
    button_->show();
}

void page_progress::hide_button()
{
    button_->hide();
}

void page_progress::set_action(Fl_Callback* callback, void* data)
{
    Fl_Widget::callback(callback, data);
}

void page_progress::clear_action()
{
    Fl_Widget::callback(static_cast<Fl_Callback*>(nullptr));
}

void page_progress::draw()
{
    if ((damage() & FL_DAMAGE_ALL) != 0)
        fl_rectf(x(), y(), w(), h(), color());
    draw_children();
}

void action_cb(Fl_Widget*, void* page)
{
    log_info("action_cb: enter\n");
    auto* progress = static_cast<page_progress*>(page);
    if (progress->callback() != nullptr)
        progress->do_callback();
}
