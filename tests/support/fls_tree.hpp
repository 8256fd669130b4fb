// The directory tree The Sleuth Kit sees: for every allocated directory,
// the entry numbers of its allocated children, built from fls -r -p.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fls_tree {

struct tree {
    std::map<uint64_t, std::set<uint64_t>> children;      // directory entry -> children
    std::map<uint64_t, std::set<std::string>> paths;      // entry -> its paths ("\a\b"), streams cut off
    std::map<std::string, uint64_t> by_path;              // lower-cased path -> entry
};

// False when fls could not be run.
bool read(const std::string& image, uint64_t byte_offset, tree& out);

}  // namespace fls_tree
