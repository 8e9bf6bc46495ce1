// Text from outside (member names, labels, serial numbers, a programmer's
// words) as it may be shown, and whether it can name a file.
#pragma once

#include <string>

// The text as it may be shown or logged: control characters, DEL and
// backslashes become \xNN / \\ escapes, so it cannot move the cursor or forge
// a line of output.
std::string printable_name(const std::string& name);

// Whether text from outside (a label, a serial number) can name an entry of a
// directory: not empty, ".", or "..", and without "/", a backslash or control
// characters.
bool usable_file_name(const std::string& name);
