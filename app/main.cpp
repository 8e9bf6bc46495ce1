#include "main_window.h"

int main(int argc, char** argv)
{
    return run_application(argc, argv);
}
