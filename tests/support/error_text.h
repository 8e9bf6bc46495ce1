// The text of the error an action throws, for tests that compare messages.
#pragma once

#include <functional>
#include <string>

namespace testsupport {

// What the std::runtime_error thrown by f says; "no error" when f returns.
// Other exceptions pass through.
std::string error_text(const std::function<void()>& f);

} // namespace testsupport
