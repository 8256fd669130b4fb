// Differencing disks (VHD and VHDX): a file that holds only what was
// written after it was made and reads everything else from its parent,
// which may itself have a parent. The chain code finds each parent from
// what the child says about it, checks that it is the file the child was
// made on, and stops at a loop or at a depth no tool writes.
#pragma once

#include "storage/container.hpp"
#include "storage/file_handle.hpp"

#include <cstdint>
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

// Where a block's sector bitmap lies and how its bits are ordered: each
// bit says whether a sector of the block is held by the file (set) or by
// the parent (clear; zeros in a file without one).
struct sector_bitmap {
    uint64_t file_offset = 0;  // the bitmap byte that holds bit 0
    uint64_t first_bit = 0;    // the bit of the block's first sector
    uint32_t sector_bytes = 512;
    bool (*present)(std::span<const uint8_t> bits, uint64_t bit) = nullptr;
};

// One file of a chain: a disk split into blocks of `block_bytes`, each read
// by the format's read_block.
struct chain_disk : disk_container {
    owned_fd file;
    uint64_t file_size = 0;
    std::u16string path;
    std::string name;                     // `path` as UTF-8, for messages
    std::string id;                       // the identity a child names this file by (lower-case hex)
    uint64_t block_bytes = 0;
    bool differencing = false;
    std::vector<std::string> parent_ids;  // identities the parent may carry
    parent_hints hints;
    std::unique_ptr<chain_disk> parent;
    std::string parent_missing;           // set when a differencing file's parent was not found

    // Opens the file at `path` for reading; false with `message` naming it.
    bool open_file(const std::u16string& path, std::string& message);
    // Reads `n` bytes at `offset` of the file into `out`; false when they
    // do not lie in the file or cannot be read.
    bool read_part(uint64_t offset, uint64_t n, std::vector<uint8_t>& out) const;

    // Splits the read at block boundaries and hands each piece to read_block.
    bool read(uint8_t* buffer, uint64_t offset, uint32_t length) override;
    // Fills `dst` with `n` bytes from byte `at` of block `block`.
    virtual void read_block(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n) = 0;

    // Zeros for `n` bytes of `block`, reported as damage for `why`.
    void damaged(uint8_t* dst, uint32_t n, uint64_t block, const std::string& why);
    // Fills `dst` with `n` bytes from byte `at` of `block` of the parent's
    // disk: bytes past the parent's end read as zeros; with no parent all
    // read as zeros and the block is reported as damage.
    void read_parent(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n);
    // Fills `dst` with `n` bytes of the file at `file_offset`; a failed read
    // gives zeros and reports the block.
    void read_own(uint64_t block, uint64_t file_offset, uint8_t* dst, uint32_t n);
    // Fills `dst` with `n` bytes from byte `at` of `block`, whose data
    // starts at file offset `data`, sector by sector as `bitmap` says.
    void read_by_bitmap(uint64_t block, uint32_t at, uint8_t* dst, uint32_t n, uint64_t data,
                        const sector_bitmap& bitmap);
};

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

// Opens the file at `path` with `open_file`, then its parents; false with
// `message` saying why when the file itself cannot be read. `format` names
// the format in messages.
bool open_chain(const std::u16string& path, open_chain_file open_file, const char* format,
                std::unique_ptr<disk_container>& out, std::string& message);

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
