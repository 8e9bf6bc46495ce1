// Ctrl-C (SIGINT) and SIGTERM as a polite request: the first one asks the
// operations in progress to stop at their next safe point (cancel_requests);
// a second one ends the program the usual way. Scope object: the previous
// handling comes back when it ends.
#pragma once

#include "cancel_request.h"

#include <csignal>
#include <vector>

class interrupt_cancels {
public:
    explicit interrupt_cancels(cancel_request& request);
    // Every request, for operations that run side by side; the vector is
    // borrowed and must not change while this object lives.
    explicit interrupt_cancels(const std::vector<cancel_request*>& requests);
    interrupt_cancels(const interrupt_cancels&) = delete;
    interrupt_cancels& operator=(const interrupt_cancels&) = delete;
    ~interrupt_cancels();

    // True when a SIGINT or SIGTERM arrived while this object was alive.
    bool interrupted() const;

private:
    void install(const std::vector<cancel_request*>& requests);

    std::vector<cancel_request*> one_;
    struct sigaction previous_int_ {};
    struct sigaction previous_term_ {};
};
