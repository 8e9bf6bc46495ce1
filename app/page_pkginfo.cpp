#include "page_pkginfo.h"

#include "fwpkg.h"
#include "text_display.h"
#include "textlabel.h"
#include "theme.h"

#include <FL/fl_draw.H>

#include <climits>
#include <string>

namespace {
constexpr int title_height = 32;
// The picture is centred in the left half, below the page's top strip.
constexpr int picture_area_width = 480;
constexpr int picture_top_margin = 20;
constexpr int notes_height_reduction = 20;
constexpr int notes_buffer_gap = 1024;

textlabel* make_title(int x, int y, int w)
{
    auto* label = new textlabel(x, y, w, title_height);
    label->color(theme::dark_grey);
    label->labelcolor(theme::light_grey);
    label->labelsize(theme::title_size);
    return label;
}
} // namespace

page_pkginfo::page_pkginfo(int x, int y, int w, int h) : Fl_Group(x, y, w, h)
{
    // Children are owned by the group; the destructor deletes them explicitly.
    title_ = make_title(x, y, w / 2);
    notes_title_ = make_title(x + w / 2, y, w / 2);
    notes_ = new text_display(x + w / 2, y + title_height, w / 2, h - notes_height_reduction);
    notes_->box(FL_NO_BOX);
    notes_->color(theme::dark_grey);
    notes_->textcolor(theme::light_grey);
    end();
}

page_pkginfo::~page_pkginfo()
{
    // The view must let go of the buffer before the buffer is released.
    delete notes_;
    delete notes_title_;
    delete title_;
}

void page_pkginfo::set_package(const fwpkg& package)
{
    title_->copy_label(package.device_display_name().c_str());
    notes_title_->copy_label("Release notes");

    picture_.reset();
    const buffer& image = package.device_image();
    if (image.size() > 0 && image.size() <= static_cast<std::uint64_t>(INT_MAX)) {
        auto decoded = std::make_unique<Fl_PNG_Image>(nullptr, image.c_ptr(), static_cast<int>(image.size()));
        if (decoded->fail() == 0)
            picture_ = std::move(decoded);
    }

    const buffer& notes = package.package_notes();
    std::string text(reinterpret_cast<const char*>(notes.c_ptr()), notes.size());
    auto next = std::make_unique<Fl_Text_Buffer>(0, notes_buffer_gap);
    next->text(text.c_str());
    notes_->buffer(next.get());
    notes_buffer_ = std::move(next);

    has_package_ = true;
    redraw();
}

void page_pkginfo::clear()
{
    picture_.reset();
    has_package_ = false;
    redraw();
}

void page_pkginfo::draw()
{
    fl_rectf(x(), y(), w(), h(), theme::dark_grey);
    if (!has_package_)
        return;
    if (picture_) {
        int px = x() + (picture_area_width - picture_->w()) / 2;
        int py = y() + picture_top_margin + ((h() - picture_top_margin) - picture_->h()) / 2;
        picture_->draw(px, py);
    }
    draw_children();
}
