#include "support/tools.hpp"

#include <cstdlib>
#include <cstring>

namespace test_tools {

bool have(const std::string& name) {
    const std::string command = "command -v '" + name + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

bool required() {
    const char* v = std::getenv("BRELVIK_REQUIRE_TOOLS");
    return v && std::strcmp(v, "1") == 0;
}

}  // namespace test_tools
