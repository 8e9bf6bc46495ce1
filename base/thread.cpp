#include "thread.h"

#include <cerrno>
#include <time.h>

namespace {
void* run(void* p)
{
    auto* w = static_cast<worker_thread*>(p);
    w->result = w->function(w->argument);
    return nullptr;
}
} // namespace

bool thread_start(worker_thread& w)
{
    return ::pthread_create(&w.handle, nullptr, run, &w) == 0;
}

bool thread_join(worker_thread& w)
{
    return ::pthread_join(w.handle, nullptr) == 0;
}

void sleep_ms(std::uint32_t ms)
{
    // nanosleep rather than usleep: usleep refuses a second or more on some systems.
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (::nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}
