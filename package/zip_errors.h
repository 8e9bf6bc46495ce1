// minizip results as error numbers, so that archive failures read like system
// failures ("No such file or directory", "Input/output error").
#pragma once

// UNZ_END_OF_LIST_OF_FILE -> ENOENT; UNZ_ERRNO -> the error number the I/O
// layer left (EIO when it left none); anything else, also 0 and a short
// positive byte count, -> EIO. Never 0: a failure never reads "Success".
int zip_result_errno(int result);

// Sets errno to zip_result_errno(result) and throws std::runtime_error with
// the system's text for it.
[[noreturn]] void throw_zip_error(int result);
