// The NTFS volumes every cross-check runs over: the project's fixtures and
// the shared real-world images, each with the byte offset of its volume.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test_volumes {

struct volume {
    std::string label;   // short name for messages
    std::string path;    // full path of the image
    uint64_t offset = 0; // byte offset of the NTFS volume
};

// Only the volumes whose images are present.
std::vector<volume> all();

}  // namespace test_volumes
