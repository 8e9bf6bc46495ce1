#include "verify_package.h"

#include "interrupt.h"
#include "json_progress.h"

bool verify_package(fwpkg& pkg)
{
    const auto display = command_progress();
    interrupt_cancels interrupt(pkg.cancellation());
    return pkg.verify(*display);
}
