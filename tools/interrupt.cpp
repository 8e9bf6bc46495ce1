#include "interrupt.h"

#include <atomic>

namespace {

std::atomic<const std::vector<cancel_request*>*> targets{nullptr};
volatile std::sig_atomic_t seen = 0;

void on_interrupt(int)
{
    seen = 1;
    if (const std::vector<cancel_request*>* requests = targets.load())
        for (cancel_request* request : *requests)
            request->request();
    // The next one gets the default action.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

} // namespace

interrupt_cancels::interrupt_cancels(cancel_request& request) : one_{&request}
{
    install(one_);
}

interrupt_cancels::interrupt_cancels(const std::vector<cancel_request*>& requests)
{
    install(requests);
}

void interrupt_cancels::install(const std::vector<cancel_request*>& requests)
{
    seen = 0;
    targets.store(&requests);
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &previous_int_);
    sigaction(SIGTERM, &sa, &previous_term_);
}

interrupt_cancels::~interrupt_cancels()
{
    sigaction(SIGINT, &previous_int_, nullptr);
    sigaction(SIGTERM, &previous_term_, nullptr);
    targets.store(nullptr);
}

bool interrupt_cancels::interrupted() const
{
    return seen != 0;
}
