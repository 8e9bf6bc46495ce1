// Runs saved inputs through a fuzz harness without libFuzzer, so the seed
// corpus and every crash once found stay regression tests under any compiler.
// Arguments are files or directories (each file in them, in name order; names
// starting with "." are skipped). A directory that does not exist is skipped:
// a target's crash folder exists only once a crash was found. Fails when no
// input was run at all.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> inputs_of(const fs::path& arg)
{
    std::vector<fs::path> found;
    if (fs::is_directory(arg)) {
        for (const fs::directory_entry& e : fs::directory_iterator(arg))
            if (e.is_regular_file() && e.path().filename().string().front() != '.')
                found.push_back(e.path());
        std::sort(found.begin(), found.end());
    } else if (fs::exists(arg)) {
        found.push_back(arg);
    }
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        for (const fs::path& input : inputs_of(argv[i])) {
            std::ifstream in(input, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
                return 1;
            }
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::printf("replay: %s (%zu bytes)\n", input.c_str(), bytes.size());
            std::fflush(stdout);
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            ++runs;
        }
    }
    if (runs == 0) {
        std::fprintf(stderr, "replay: no inputs found\n");
        return 1;
    }
    std::printf("replay: %zu inputs ran\n", runs);
    return 0;
}
