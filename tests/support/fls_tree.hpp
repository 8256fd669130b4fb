// The directory tree The Sleuth Kit sees: for every allocated directory,
// the entry numbers of its allocated children, built from fls -r -p.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fls_tree {

// Names fls shows with an unknown name type ("-/r" without "*") did not come
// from a directory index as fls read it: either the index really lacks
// them, or fls could not read that part of it (it fails on some volumes
// with 64 KiB clusters). They are kept apart as names a reader may or may
// not find.
struct tree {
    std::map<uint64_t, std::set<uint64_t>> children;        // directory entry -> children
    std::map<uint64_t, std::set<uint64_t>> maybe_children;  // from names of unknown type
    std::map<uint64_t, std::set<std::string>> paths;        // entry -> its paths ("\a\b"), streams cut off
    std::map<uint64_t, std::set<std::string>> maybe_paths;
};

// False when fls could not be run.
bool read(const std::string& image, uint64_t byte_offset, tree& out);

}  // namespace fls_tree
