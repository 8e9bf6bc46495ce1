#include "error_text.h"

#include <stdexcept>

namespace testsupport {

std::string error_text(const std::function<void()>& f)
{
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

} // namespace testsupport
