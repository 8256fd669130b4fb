#include "support/test_paths.hpp"

#include <sys/stat.h>

namespace test_paths {

static bool exists(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0;
}

std::string fixture_dir() { return BRELVIK_FIXTURE_DIR; }
std::string testdata_dir() { return BRELVIK_TESTDATA_DIR; }

std::string fixture(const std::string& name) {
    const std::string p = fixture_dir() + "/" + name;
    return exists(p) ? p : std::string();
}

std::string testdata(const std::string& name) {
    const std::string p = testdata_dir() + "/" + name;
    return exists(p) ? p : std::string();
}

}  // namespace test_paths
