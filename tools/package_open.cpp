#include "package_open.h"

#include "hex.h"

#include <stdexcept>
#include <vector>

void open_package(fwpkg& pkg, const std::string& path)
{
    try {
        pkg.open(path);
    } catch (const std::exception& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

std::string hex_text(const std::uint8_t* bytes, std::size_t n)
{
    std::vector<char> out(2 * n + 1);
    hex_encode(bytes, n, "", out.data(), true);
    return out.data();
}
