// Worker threads: a plain record {function, argument, handle, result}. The
// record must stay alive and unmoved from thread_start until thread_join, and
// every started thread is joined exactly once.
#pragma once

#include <cstdint>
#include <pthread.h>

struct worker_thread {
    bool (*function)(void* argument) = nullptr;
    void* argument = nullptr;
    pthread_t handle{};
    bool result = false;
};

// Starts a joinable thread running function(argument); false (nothing runs)
// when the system refuses to create it.
bool thread_start(worker_thread& w);
// Waits for the thread to end; afterwards w.result holds the function's result.
bool thread_join(worker_thread& w);

// Suspends the calling thread for whole milliseconds.
void sleep_ms(std::uint32_t ms);
