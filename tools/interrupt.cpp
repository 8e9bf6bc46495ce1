#include "interrupt.h"

#include <atomic>

namespace {

std::atomic<cancel_request*> target{nullptr};
volatile std::sig_atomic_t seen = 0;

void on_interrupt(int)
{
    seen = 1;
    if (cancel_request* request = target.load())
        request->request();
    // The next Ctrl-C gets the default action.
    std::signal(SIGINT, SIG_DFL);
}

} // namespace

interrupt_cancels::interrupt_cancels(cancel_request& request)
{
    seen = 0;
    target.store(&request);
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &previous_);
}

interrupt_cancels::~interrupt_cancels()
{
    sigaction(SIGINT, &previous_, nullptr);
    target.store(nullptr);
}

bool interrupt_cancels::interrupted() const
{
    return seen != 0;
}
