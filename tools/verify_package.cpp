#include "verify_package.h"

#include "interrupt.h"
#include "progress_bar.h"

bool verify_package(fwpkg& pkg, package_trust& trust)
{
    progress_bar bar(stderr);
    interrupt_cancels interrupt(pkg.cancellation());
    return trust.verify(pkg, bar);
}
