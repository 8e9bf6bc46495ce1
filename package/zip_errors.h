// libzip's errors in words a user can act on. libzip's own texts are terse
// ("Zip archive inconsistent") and one of them reads "No error"; these never
// read "Success" or "No error", and add the system's text where a system call
// failed.
#pragma once

#include <cstdint>
#include <string>

#include <zip.h>

// What went wrong, without the member or the package's name.
std::string zip_error_text(const zip_error_t& error);

// The same for an error met while opening or reading one member: a bad local
// header signature reads "damaged local header" instead of "not a zip archive".
std::string zip_member_error_text(const zip_error_t& error);

// Why member `name` (shown escaped) cannot be opened or read:
// "fwpkg: cannot read <name>: <why>" when the package file failed, "fwpkg:
// corrupt member <name>" for a CRC mismatch, else "fwpkg: corrupt member
// <name>: <why>".
std::string member_failure_text(const std::string& name, const zip_error_t& error);

// "fwpkg: <name> is too large: <size> bytes, at most <cap> allowed", for a
// member the directory says is larger than anything of its kind can be.
std::string member_too_large_text(const std::string& name, std::uint64_t size, std::uint64_t cap);

// True when the error is the package file failing (read, seek), not damage
// inside the archive.
bool zip_error_is_io(const zip_error_t& error);
