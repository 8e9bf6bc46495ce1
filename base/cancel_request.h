// A request to stop a long operation at its next safe point, made from another
// thread or a signal handler (the flag is lock-free), read by the operation.
#pragma once

#include <atomic>

class cancel_request {
public:
    void request() noexcept { requested_.store(true); }
    void clear() noexcept { requested_.store(false); }
    bool requested() const noexcept { return requested_.load(); }

private:
    std::atomic<bool> requested_{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler sets it");
};
