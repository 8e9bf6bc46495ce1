// A unit of work a thread may hand to the GUI loop with Fl::awake(void*): the
// loop calls run() on the GUI thread and neither keeps nor deletes the object;
// its poster stays the owner. (The application itself posts with
// Fl::awake(handler, data) instead, which delivers no message.)
#pragma once

class posted_work {
public:
    virtual void run() = 0;

protected:
    ~posted_work() = default;
};
