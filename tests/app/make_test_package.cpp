// Writes the application tests' package into a directory, for the end-to-end
// run: DIR/test.brp, and its images under DIR/tree.
#include "app_test_support.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    try {
        apptest::built_package built = apptest::build_package(argv[1], {});
        std::printf("%s\n", built.path.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_test_package: %s\n", e.what());
        return 1;
    }
    return 0;
}
