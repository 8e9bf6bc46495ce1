// The phases of one operation on a handset, for the messages of its failures:
// every failure leaves as one std::runtime_error "<phase> failed: <cause>.
// <advice>", where the advice depends on whether anything was written yet.
#pragma once

#include "cancel_request.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

// A failure already worded for the user ("<phase> failed: ..." or a cancel): a
// phase around the one that failed passes it on unchanged.
class phase_failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The operation stopped on a cancel request before anything was written.
class operation_cancelled : public phase_failure {
public:
    using phase_failure::phase_failure;
};

class flash_phases {
public:
    // unwritten_advice: what a failure says while nothing has been written.
    explicit flash_phases(std::string unwritten_advice =
                              "Nothing was written to the handset; correct the cause and flash again.")
        : unwritten_advice_(std::move(unwritten_advice))
    {
    }

    // Runs step; a failure leaves as one runtime_error saying where it happened.
    template <typename Step>
    void run(const std::string& phase, Step&& step)
    {
        try {
            step();
        } catch (const phase_failure&) {
            throw;
        } catch (const std::exception& e) {
            fail(phase, e);
        }
    }
    // From here on a failure may leave the handset unable to start.
    void writing_began() { written_ = true; }
    // While nothing is written, a pending cancel request (cancel may be null)
    // stops the operation: throws operation_cancelled "Cancelled: nothing was
    // written to the handset. <what_now>".
    void stop_if_cancelled(const cancel_request* cancel, const std::string& what_now) const;

private:
    [[noreturn]] void fail(const std::string& phase, const std::exception& e) const;
    std::string advice() const;

    std::string unwritten_advice_;
    bool written_ = false;
};

// Why a step failed, for a user: the programmer's refusal, a handset that
// stopped answering or left the bus, or the error's own text.
std::string flash_failure_cause(const std::exception& e);

// What came back from the handset differs from what was sent. what() reads
// "Verification failed: <label> (LUN n) differs at sector s"; a phase passes
// it on with only the advice added.
class verification_mismatch : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
