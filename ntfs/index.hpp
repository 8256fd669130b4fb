// Which MFT entries are children of a directory: its $I30 index root and
// every INDX block of its index allocation, wherever the attribute list
// has put them.
#pragma once

#include "ntfs/index_node.hpp"
#include "ntfs/index_slack.hpp"
#include "ntfs/volume.hpp"

#include <cstdint>
#include <string>

// Adds the children of directory `entry` to `children` (not cleared).
// With `slack`, the entries left in the slack of every node, and in the
// blocks the index bitmap marks free, are collected into it as well.
bool collect_directory_children(ntfs_volume& v, uint64_t entry, child_entry_set& children,
                                index_slack* slack = nullptr);
// The same from the directory's record as the caller has read it (as
// read_file_record reads it), which is then not read again.
bool collect_directory_children(ntfs_volume& v, uint64_t entry, le::bytes record, child_entry_set& children,
                                index_slack* slack);

// Hints the start of the index allocation of directory `entry`, when its
// record is kept (keep_record) and the source takes hints: a directory
// listed soon has its index decoded ahead while the listing works on
// what comes before it. Pieces that an attribute list places in other
// records are left to the read.
void prefetch_kept_directory_index(ntfs_volume& v, uint64_t entry);

// Loads the whole allocation stream described by `extents` (initialized
// size `initialized`) and walks every INDX block in it; with `slack`, also
// gathers each block's slack, the whole block where `bitmap` (one bit per
// block) marks it free. Blocks that `bitmap` marks in use but that hold no
// index are counted in the volume's index_gaps, those whose walk stops on
// a damaged entry before their end entry in its damaged_index_nodes. With
// `root_attr` (the index's $INDEX_ROOT attribute), a block that the tree
// reaches from the root through sub-node pointers counts as in use
// whatever `bitmap` says: a bitmap damaged in part must not hide it.
bool read_index_allocation(child_entry_set& children, ntfs_volume& v, const std::vector<extent>& extents,
                           uint64_t initialized, bool continue_past_end, index_slack* slack = nullptr,
                           le::bytes bitmap = {}, le::bytes root_attr = {});

// From `cursor` (an offset in `record`), finds the first attribute of
// `type` whose name starts with `name`; the cursor moves to it.
bool find_named_attribute(le::bytes record, uint64_t& cursor, uint32_t type, std::u16string_view name,
                          uint32_t record_size);

// From `cursor` in an attribute list, finds the first entry of `type` named
// `name`; `remaining` counts the bytes left.
bool find_attribute_list_entry(le::bytes list, uint64_t& cursor, int64_t& remaining, uint32_t type,
                               std::u16string_view name);

// Base-record references are followed at most this many times: a chain of
// extension records naming each other must not loop.
constexpr int max_base_redirections = 4;
