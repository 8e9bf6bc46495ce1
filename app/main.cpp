#include "main_window.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    // The one option of the program's own, so that packagers and bug reports
    // can ask which build this is; every other argument belongs to the toolkit.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("brenvik %s\n", BRV_VERSION);
            return 0;
        }
    }
    return run_application(argc, argv);
}
