#include "verify_package.h"

#include "interrupt.h"
#include "progress_bar.h"

bool verify_package(fwpkg& pkg)
{
    progress_bar bar(stderr);
    interrupt_cancels interrupt(pkg.cancellation());
    return pkg.verify(bar);
}
