// Progress reporting from long operations (verification, flashing) on a worker
// thread to whoever shows it.
//
// progress_handler keeps max, value and message; the operation drives it through
// a `progress` scope object, whose calls end in the handler's notifications
// (called on the worker's thread). The fields are guarded by a lock, so the
// displaying thread may read percent() and message() while the worker changes them.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

class progress_handler {
public:
    progress_handler() = default;
    progress_handler(const progress_handler&) = delete;
    progress_handler& operator=(const progress_handler&) = delete;
    virtual ~progress_handler() = default;

    // Notifications, called on the thread that runs the operation.
    virtual void started() = 0;
    virtual void changed() = 0;
    virtual void finished() = 0;

    // max = m, value = 0; the message is kept.
    void init(std::uint64_t m);
    // 0 to 100; 0 while max is 0.
    std::uint32_t percent() const;
    std::string message() const;
    void message(const std::string& text);
    std::uint64_t value() const;
    // Clamped to max.
    void value(std::uint64_t v);
    std::uint64_t max_value() const;

private:
    mutable std::mutex lock_;
    std::uint64_t max_ = 0;
    std::uint64_t value_ = 0;
    std::string message_;
};

// A handler for work whose progress nobody watches (a check on another thread,
// a tool without a display).
class null_progress : public progress_handler {
public:
    void started() override {}
    void changed() override {}
    void finished() override {}
};

// One report on a handler: construction starts it, destruction completes it
// (jumping to 100 % when the operation stopped short, but not when an exception
// ends it: the value then stays where the work stopped).
class progress {
public:
    progress(progress_handler& handler, std::uint64_t max);
    progress(const progress&) = delete;
    progress& operator=(const progress&) = delete;
    virtual ~progress();

    void message(const std::string& text);
    void update(std::uint64_t v);
    void add(std::uint64_t n);
    void inc() { add(1); }

private:
    progress_handler* handler_;
    int exceptions_at_start_;
};

// Marks an object busy for its lifetime; a second guard on the same flag throws
// std::runtime_error("Object in use") and leaves the flag alone.
class guard {
public:
    explicit guard(bool* flag);
    guard(const guard&) = delete;
    guard& operator=(const guard&) = delete;
    virtual ~guard() { *flag_ = false; }

private:
    bool* flag_;
};
