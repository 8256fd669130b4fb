#include "cli/run.hpp"

#include <cstdio>

int run_brelvik(std::vector<std::string> args) {
    (void)args;
    std::fputs("brelvik\n", stderr);
    return 0;
}
