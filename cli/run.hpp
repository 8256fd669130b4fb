// The run flow: everything main does once the arguments are UTF-8.
#pragma once

#include <string>
#include <vector>

// Runs the program on its arguments (element 0 is the program path) and
// returns the process exit code: 0, or -1 on an error detected before the
// listing.
int run_brelvik(std::vector<std::string> args);
