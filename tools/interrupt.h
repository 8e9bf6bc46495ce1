// Ctrl-C as a polite request: the first SIGINT asks the package operation in
// progress to stop at its next safe point (a cancel_request); a second one ends
// the program the usual way. Scope object: the previous handling comes back
// when it ends.
#pragma once

#include "cancel_request.h"

#include <csignal>

class interrupt_cancels {
public:
    explicit interrupt_cancels(cancel_request& request);
    interrupt_cancels(const interrupt_cancels&) = delete;
    interrupt_cancels& operator=(const interrupt_cancels&) = delete;
    ~interrupt_cancels();

    // True when a SIGINT arrived while this object was alive.
    bool interrupted() const;

private:
    struct sigaction previous_ {};
};
