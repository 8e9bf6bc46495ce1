// Asking for a password on the terminal: the prompt and the answer go through
// the controlling terminal (/dev/tty), not stdin/stdout, so a password never
// comes from or lands in a pipe, and what is typed is not shown.
#pragma once

#include <string>

// The line typed (without its newline), at most 1024 bytes. Echo is off while
// it is typed and comes back afterwards, also when Ctrl-C, a hang-up or a
// termination ends the program meanwhile. Throws std::runtime_error
// "password: ..." when there is no terminal or the line is too long.
std::string read_password(const std::string& prompt);
