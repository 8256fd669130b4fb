// Where the tests find their images: the project's fixtures (always there
// once unpacked) and the shared real-world images (skipped when absent).
#pragma once

#include <string>

namespace test_paths {
// Full path of a fixture image by file name; "" when it is missing.
std::string fixture(const std::string& name);
// Full path of a shared test image by its path inside the unpacked folder;
// "" when it is missing.
std::string testdata(const std::string& name);
std::string fixture_dir();
std::string testdata_dir();
}  // namespace test_paths
