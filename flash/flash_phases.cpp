#include "flash_phases.h"

#include "firehose.h"
#include "package_trust.h"
#include "usbport.h"

#include <cerrno>
#include <stdexcept>

namespace {

std::string whole_message(const std::string& phase, const std::string& cause, const std::string& advice,
                          failure_kind kind)
{
    // A mismatch's own text already says where.
    return (kind == failure_kind::verification ? "" : phase + " failed: ") + cause + ". " + advice;
}

} // namespace

const char* failure_kind_name(failure_kind kind)
{
    switch (kind) {
    case failure_kind::refused: return "refused";
    case failure_kind::left_bus: return "left_bus";
    case failure_kind::not_answering: return "not_answering";
    case failure_kind::usb_link: return "usb_link";
    case failure_kind::verification: return "verification";
    case failure_kind::signature: return "signature";
    case failure_kind::other: break;
    }
    return "other";
}

flash_failure::flash_failure(std::string phase, std::string cause, std::string advice, bool written, failure_kind kind)
    : phase_failure(whole_message(phase, cause, advice, kind)), phase_(std::move(phase)),
      cause_(std::move(cause)), advice_(std::move(advice)), written_(written), kind_(kind)
{
}

void flash_phases::fail(const std::string& phase, const std::exception& e) const
{
    throw flash_failure(phase, flash_failure_cause(e), advice(), written(), flash_failure_kind(e));
}

void flash_phases::stop_if_cancelled(const cancel_request* cancel, const std::string& what_now) const
{
    if (cancel != nullptr && cancel->requested() && !written())
        throw operation_cancelled("Cancelled: nothing was written to the handset. " + what_now);
}

std::string flash_phases::advice() const
{
    if (!written())
        return unwritten_advice_;
    return "The handset may not start until a flash completes: keep it in emergency-download mode "
           "(or unplug it and bring it back into that mode) and flash again.";
}

failure_kind flash_failure_kind(const std::exception& e)
{
    if (dynamic_cast<const verification_mismatch*>(&e))
        return failure_kind::verification;
    if (dynamic_cast<const firehose_refusal*>(&e))
        return failure_kind::refused;
    if (dynamic_cast<const untrusted_firmware*>(&e))
        return failure_kind::signature;
    if (const auto* link = dynamic_cast<const link_error*>(&e))
        return link->error() == ENODEV      ? failure_kind::left_bus
               : link->error() == ETIMEDOUT ? failure_kind::not_answering
                                            : failure_kind::usb_link;
    return failure_kind::other;
}

std::string flash_failure_cause(const std::exception& e)
{
    if (const auto* refusal = dynamic_cast<const firehose_refusal*>(&e))
        return std::string("the programmer refused: ") + refusal->what();
    if (const auto* link = dynamic_cast<const link_error*>(&e)) {
        switch (link->error()) {
        case ENODEV:
            return "the handset left the USB bus (" + std::string(link->what()) + ")";
        case ETIMEDOUT:
            return "the handset stopped answering (" + std::string(link->what()) + ")";
        default:
            return "the USB link failed (" + std::string(link->what()) + ")";
        }
    }
    return e.what();
}
