#include "verify_package.h"

#include "interrupt.h"
#include "json_progress.h"

bool verify_package(fwpkg& pkg, package_trust& trust)
{
    const auto display = command_progress();
    interrupt_cancels interrupt(pkg.cancellation());
    return trust.verify(pkg, *display);
}
