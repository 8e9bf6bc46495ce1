// libzip's errors in words a user can act on. libzip's own texts are terse
// ("Zip archive inconsistent") and one of them reads "No error"; these never
// read "Success" or "No error", and add the system's text where a system call
// failed.
#pragma once

#include <string>

#include <zip.h>

// What went wrong, without the member or the package's name.
std::string zip_error_text(const zip_error_t& error);

// The same for an error met while opening or reading one member: a bad local
// header signature reads "damaged local header" instead of "not a zip archive".
std::string zip_member_error_text(const zip_error_t& error);

// True when the error is the package file failing (read, seek), not damage
// inside the archive.
bool zip_error_is_io(const zip_error_t& error);
