// The package page: the handset's display name and picture on the left half,
// "Release notes" and the notes text on the right half. Empty (a plain dark
// rectangle) until set_package(), and again after clear().
#pragma once

#include <FL/Fl_Group.H>
#include <FL/Fl_PNG_Image.H>
#include <FL/Fl_Text_Buffer.H>

#include <memory>

class fwpkg;
class text_display;
class textlabel;

class page_pkginfo : public Fl_Group {
public:
    page_pkginfo(int x, int y, int w, int h);
    ~page_pkginfo() override;

    // Shows the open package's display name, picture and release notes (the
    // notes end at a first NUL byte). A picture that does not decode is left out.
    void set_package(const fwpkg& package);
    // Forgets the picture; the page draws as a plain dark rectangle.
    void clear();

    bool has_package() const { return has_package_; }
    // Null while no picture is held.
    const Fl_PNG_Image* picture() const { return picture_.get(); }
    const textlabel& title() const { return *title_; }
    const textlabel& notes_title() const { return *notes_title_; }
    const text_display& notes() const { return *notes_; }

protected:
    void draw() override;

private:
    bool has_package_ = false;
    textlabel* title_;
    textlabel* notes_title_;
    std::unique_ptr<Fl_PNG_Image> picture_;
    text_display* notes_;
    // One buffer per package; the previous one is released when the next is attached.
    std::unique_ptr<Fl_Text_Buffer> notes_buffer_;
};
