// The fuzzer's bytes as a whole .brp file: header checks first, then whatever
// survives them.
#include "fuzz_support.h"
#include "package_harness.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz::memory_file file;
    file.write(data, size);
    fuzz::exercise_package(file.path());
    return 0;
}
