#include "interrupt.h"

#include <atomic>

namespace {

std::atomic<fwpkg*> target{nullptr};
volatile std::sig_atomic_t seen = 0;

void on_interrupt(int)
{
    seen = 1;
    if (fwpkg* pkg = target.load())
        pkg->cancel();
    // The next Ctrl-C gets the default action.
    std::signal(SIGINT, SIG_DFL);
}

} // namespace

interrupt_cancels::interrupt_cancels(fwpkg& pkg)
{
    seen = 0;
    target.store(&pkg);
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
