// The phases of one operation on a handset, for the messages of its failures:
// every failure leaves as one flash_failure "<phase> failed: <cause>.
// <advice>", where the advice depends on whether anything was written yet.
#pragma once

#include "cancel_request.h"

#include <exception>
#include <functional>
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

// What kind of trouble stopped an operation on a handset, for tallies and
// programs that sort failures (the cause's text says the particulars).
enum class failure_kind {
    refused,         // the programmer refused a request
    left_bus,        // the handset left the USB bus
    not_answering,   // the handset stopped answering
    usb_link,        // another USB failure
    verification,    // what came back differs from what was sent
    signature,       // no trusted key signed the firmware
    other,           // anything else: the package, a file, the host
};

// Stable lower-case names: "refused", "left_bus", "not_answering", "usb_link",
// "verification", "signature", "other".
const char* failure_kind_name(failure_kind kind);

// One failed phase. what() is the whole message, "<phase> failed: <cause>.
// <advice>" ("<cause>. <advice>" for a verification mismatch, whose cause
// names the partition); the parts are kept apart for machine-readable reports.
class flash_failure : public phase_failure {
public:
    flash_failure(std::string phase, std::string cause, std::string advice, bool written, failure_kind kind);

    const std::string& phase() const { return phase_; }
    const std::string& cause() const { return cause_; }
    const std::string& advice() const { return advice_; }
    // Whether anything had been written to the handset when it failed.
    bool written() const { return written_; }
    failure_kind kind() const { return kind_; }

private:
    std::string phase_, cause_, advice_;
    bool written_;
    failure_kind kind_;
};

class flash_phases {
public:
    // unwritten_advice: what a failure says while nothing has been written.
    explicit flash_phases(std::string unwritten_advice =
                              "Nothing was written to the handset; correct the cause and flash again.")
        : unwritten_advice_(std::move(unwritten_advice))
    {
    }

    // Hears each phase's name as it begins (empty: nobody).
    void observe(std::function<void(const std::string&)> on_phase) { on_phase_ = std::move(on_phase); }

    // Runs step; a failure leaves as one flash_failure saying where it happened.
    // announce false: the phase began earlier (it is being finished), so the
    // observer is not told again.
    template <typename Step>
    void run(const std::string& phase, Step&& step, bool announce = true)
    {
        if (on_phase_ && announce)
            on_phase_(phase);
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
    // Whether the handset's storage may have changed yet (the programmer's
    // own account): once set, a write that began counts as written only when
    // it says so, so a programmer refusing the first write outright is
    // reported as having left the handset as it was.
    void watch_storage(std::function<bool()> touched) { storage_touched_ = std::move(touched); }
    // While nothing is written, a pending cancel request (cancel may be null)
    // stops the operation: throws operation_cancelled "Cancelled: nothing was
    // written to the handset. <what_now>".
    void stop_if_cancelled(const cancel_request* cancel, const std::string& what_now) const;

private:
    [[noreturn]] void fail(const std::string& phase, const std::exception& e) const;
    std::string advice() const;
    bool written() const { return written_ && (!storage_touched_ || storage_touched_()); }

    std::string unwritten_advice_;
    std::function<void(const std::string&)> on_phase_;
    std::function<bool()> storage_touched_;
    bool written_ = false;
};

// Why a step failed, for a user: the programmer's refusal, a handset that
// stopped answering or left the bus, or the error's own text.
std::string flash_failure_cause(const std::exception& e);
// The kind of that cause.
failure_kind flash_failure_kind(const std::exception& e);

// What came back from the handset differs from what was sent. what() reads
// "Verification failed: <label> (LUN n) differs at sector s"; a phase passes
// it on with only the advice added.
class verification_mismatch : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
