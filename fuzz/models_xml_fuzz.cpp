// ~/.brv/models.xml, read the way the catalogue reads it: from the user's home
// directory (a private one here), with every lookup afterwards.
#include "fuzz_support.h"
#include "model.h"
#include "test_files.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

// The catalogue finds the file through HOME; it is set once per process.
const std::string& models_path()
{
    static const testsupport::temp_dir home(fuzz::scratch_parent());
    static const std::string path = [] {
        std::filesystem::create_directories(home / ".brv");
        ::setenv("HOME", home.path().c_str(), 1);
        return (home / ".brv/models.xml").string();
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool quiet = (fuzz::quiet_xml(), true);
    (void)quiet;

    {
        std::ofstream out(models_path(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    forget_user_models();
    try {
        for (const model& m : user_models()) {
            find_model(m.name());
            memory_type_name(m.memory_type());
        }
    } catch (const std::runtime_error&) {
    }
    model_exists("fuzz");
    // The list would otherwise outlive the input (libFuzzer counts that as a leak).
    forget_user_models();
    return 0;
}
