// The progress strip: a bar with a message line under it, and the page's single
// action button at the right. All three start hidden. The button runs the
// strip's own widget callback (set by its owner, see set_action/clear_action);
// with none set, pressing it does nothing.
#pragma once

#include <FL/Fl_Group.H>
#include <FL/Fl_Progress.H>

class button;
class textlabel;

class page_progress : public Fl_Group {
public:
    page_progress(int x, int y, int w, int h);
    ~page_progress() override;

    // percent 0..100; the text is copied.
    void set_progress(unsigned percent, const char* text);
    void show_progress();
    void hide_progress();
    // The text is copied.
    void show_button(const char* text);
    void hide_button();

    // The action the button runs; clear_action keeps the user data.
    void set_action(Fl_Callback* callback, void* data);
    void clear_action();

    const Fl_Progress& bar() const { return *bar_; }
    const textlabel& message() const { return *message_; }
    const button& action_button() const { return *button_; }
    button& action_button() { return *button_; }

protected:
    void draw() override;

private:
    Fl_Progress* bar_;
    textlabel* message_;
    button* button_;
};

// The button's callback: logs and runs the progress page's own callback.
void action_cb(Fl_Widget* widget, void* page);
