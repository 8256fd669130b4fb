// The banner line and the usage text.
#pragma once

#include <string>

// Program name and version, without a newline.
std::string banner_line();
// The whole usage text as written to standard error.
std::string usage_text();
// Writes the usage text to standard error.
void usage();
