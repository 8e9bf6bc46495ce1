#include "flash_phases.h"

#include "firehose.h"
#include "usbport.h"

#include <cerrno>
#include <stdexcept>

void flash_phases::fail(const std::string& phase, const std::exception& e) const
{
    if (dynamic_cast<const verification_mismatch*>(&e))
        throw phase_failure(std::string(e.what()) + ". " + advice());
    throw phase_failure(phase + " failed: " + flash_failure_cause(e) + ". " + advice());
}

void flash_phases::stop_if_cancelled(const cancel_request* cancel, const std::string& what_now) const
{
    if (cancel != nullptr && cancel->requested() && !written_)
        throw operation_cancelled("Cancelled: nothing was written to the handset. " + what_now);
}

std::string flash_phases::advice() const
{
    if (!written_)
        return unwritten_advice_;
    return "The handset may not start until a flash completes: keep it in emergency-download mode "
           "(or unplug it and bring it back into that mode) and flash again.";
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
