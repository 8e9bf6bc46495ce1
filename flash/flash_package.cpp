// Kept apart from brp_source.cpp: reading a package must not pull the USB
// layer into programs that only open packages (the package fuzzers).
#include "brp_source.h"
#include "flash.h"

flash_result flash_package(fwpkg& package, int device_handle, progress_handler& handler, flash_options options)
{
    options.cancel = &package.cancellation();
    brp_source source(package);
    return flash_handset(source, device_handle, handler, options);
}
