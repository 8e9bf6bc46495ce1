// The fuzzer's bytes as the zip archive behind a valid header (right length,
// matching digests), so that mutations reach the archive reader and the
// metadata instead of stopping at the header check.
#include "fuzz_support.h"
#include "package_harness.h"
#include "package_test_support.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::memory_file file;
    pkgtest::write_package(file.path(), std::string(reinterpret_cast<const char*>(data), size));
    fuzz::exercise_package(file.path());
    return 0;
}
