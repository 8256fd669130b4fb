// Differencing disks (VHD and VHDX): a file that holds only what was
// written after it was made and reads everything else from its parent,
// which may itself have a parent. The chain code finds each parent from
// what the child says about it, checks that it is the file the child was
// made on, and stops at a loop or at a depth no tool writes.
#pragma once

#include "storage/container.hpp"
#include "storage/file_handle.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

// Parents followed from the file named by -image. Hyper-V checkpoint trees
// stay far below this; the bound keeps the files held open, and the time
// a set of crafted files can make the open take, small.
constexpr uint32_t max_parent_depth = 64;

// Where a differencing file says its parent is, as written in the file
// (Windows paths, with backslashes).
struct parent_hints {
    std::u16string relative;               // relative to the child's folder
    std::vector<std::u16string> absolute;  // absolute paths, in the order to try
    std::vector<std::u16string> names;     // further names whose last component may lie beside the child
};

// One file of a chain.
struct chain_disk : disk_container {
    owned_fd file;
    uint64_t file_size = 0;
    std::u16string path;
    std::string name;                     // `path` as UTF-8, for messages
    std::string id;                       // the identity a child names this file by (lower-case hex)
    bool differencing = false;
    std::vector<std::string> parent_ids;  // identities the parent may carry
    parent_hints hints;
    std::unique_ptr<chain_disk> parent;
    std::string parent_missing;           // set when a differencing file's parent was not found

    // Fills `buffer` with `length` bytes of the parent's disk at `offset`:
    // bytes past the parent's end read as zeros; with no parent everything
    // reads as zeros and `place` of this file is reported as damage.
    void read_parent(uint8_t* buffer, uint64_t offset, uint32_t length, const std::string& place);
    // Fills `buffer` with `length` bytes of the file at `file_offset`; a
    // failed read gives zeros and reports `place`.
    void read_own(uint8_t* buffer, uint64_t file_offset, uint32_t length, const std::string& place);
};

// Calls `run(from, count, present)` for each stretch of the `length` bytes
// from byte `at` of a block over which `present(sector)` (sectors of
// `sector_bytes`, counted from the block's start) does not change.
void for_each_sector_run(uint64_t at, uint32_t length, uint32_t sector_bytes,
                         const std::function<bool(uint64_t)>& present,
                         const std::function<void(uint64_t, uint32_t, bool)>& run);

// Opens one file's own structures, without looking for its parent; false
// with `message` saying why.
using open_chain_file = bool (*)(const std::u16string& path, std::unique_ptr<chain_disk>& out, std::string& message);

// The paths tried for the parent of the file at `child_path`, in order: the
// relative path (against the child's folder), the absolute paths, then the
// last component of each of these and of `hints.names` in the child's
// folder. Windows paths are mapped to the host: backslashes separate
// components, and on POSIX an absolute Windows path (a drive letter, a
// \\?\ or UNC prefix) names no file and is left out. No path twice.
std::vector<std::u16string> parent_candidates(const std::u16string& child_path, const parent_hints& hints);

// Finds and opens the parents of `top` and theirs, with `open_file` for
// each. A candidate is taken when it opens, carries one of the identities
// its child names and is not already in the chain. When none is, the
// child's parent stays missing (its sectors read as zeros, reported per
// place) and a note names what was tried and why each was refused.
void link_parents(chain_disk& top, open_chain_file open_file);

// "0x" and the lower-case hex digits of `v`, for places in messages.
std::string hex_number(uint64_t v);

// Lower-case hex of bytes, the form identities are compared in.
std::string hex_of(std::span<const uint8_t> bytes);
