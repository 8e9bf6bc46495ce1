// Runs saved inputs through a fuzz harness without libFuzzer, so the seed
// corpus and every crash once found stay regression tests under any compiler.
// Arguments are files or directories (each file in them, in name order; names
// starting with "." are skipped). A directory that does not exist is skipped:
// a target's crash folder exists only once a crash was found. Fails when no
// input was run at all, and aborts (naming the input it ran last) when one
// asks for a larger single allocation than make fuzz allows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

// As libFuzzer's -malloc_limit_mb in fuzz/run.sh: no input of a few KiB has a
// reason to make the code allocate this much at once; one that does (a size
// taken from the input and trusted) is a fault even where the machine could
// satisfy it.
constexpr std::size_t allocation_limit = std::size_t{512} << 20;

void* operator new(std::size_t size)
{
    if (size > allocation_limit) {
        std::fprintf(stderr, "replay: the input asked for %zu bytes at once (limit %zu)\n", size, allocation_limit);
        std::abort();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

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
