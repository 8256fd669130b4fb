// Index nodes of $I30 directory indexes: the node header, its entries, and
// INDX blocks.
#pragma once

#include "ntfs/volume.hpp"
#include "storage/le.hpp"

#include <cstdint>
#include <vector>

// Index blocks are carved at this size from the allocation stream.
constexpr uint32_t index_block_size = 4096;
// An index allocation is read whole into memory. No directory needs more:
// a million entries with long names take about 256 MiB of index blocks, so
// a runlist claiming more is damage and is read no further.
constexpr uint64_t max_index_allocation_bytes = uint64_t(256) << 20;
// A node's bytes in use must be in 1..4096.
constexpr uint32_t max_node_bytes = 4096;
// An entry longer than this ends the walk of its node: a $FILE_NAME key is
// at most 66 + 2*255 bytes plus the 16-byte entry head and a sub-node VCN.
constexpr uint32_t max_index_entry_length = 768;
// The node header sits 24 bytes into an INDX block and 16 bytes into an
// $INDEX_ROOT value.
constexpr uint32_t indx_node_offset = 24;
constexpr uint32_t root_node_offset = 16;

// Walks one node whose header is at `node_offset` of `buffer`, adding child
// entry numbers to `children`. Entries are read only where they lie inside
// `buffer`. False when the node's bytes in use are 0 or above 4096.
bool walk_index_node(child_entry_set& children, le::bytes buffer, uint64_t node_offset, bool continue_past_end);
// The same, saying through `reached_end` whether the walk came to the
// node's end entry. A walk that stops before it, on an entry whose
// fields are damaged, leaves out the entries after that one: the caller
// says so rather than pass the node for whole.
bool walk_index_node(child_entry_set& children, le::bytes buffer, uint64_t node_offset, bool continue_past_end,
                     bool& reached_end);

// Adds to `vcns` the VCN of each node below the node whose header is at
// `node_offset` of `buffer`: an entry flagged as leading to a sub-node, the
// end entry included, carries that node's VCN in its last 8 bytes. The
// walk stops at the end entry and at the first entry that does not fit in
// the node's bytes in use.
void subnode_vcns(le::bytes buffer, uint64_t node_offset, std::vector<uint64_t>& vcns);

// Reads every allocated cluster of the extents into 4096-byte blocks and
// fixes up each INDX block. `max_blocks` is in/out: the blocks wanted at
// most, then the blocks read, which fill that many 4096-byte blocks at the
// start of `out`. `out` may be longer, with bytes of an earlier call past
// them: a kept buffer is never shortened.
bool load_index_blocks(ntfs_volume& v, std::vector<uint8_t>& out, uint32_t& max_blocks, const std::vector<extent>& runs);

// The number in the allocation, counted by VCN, of each of the first `n`
// blocks load_index_blocks puts in its buffer. The buffer packs the
// clusters of allocated extents back to back, so after a sparse extent
// (only a damaged runlist has one) a block sits lower in the buffer than
// in the allocation, whose bitmap counts blocks by VCN. A block whose
// number can't be held is given UINT64_MAX, past any bitmap.
std::vector<uint64_t> index_block_numbers(const std::vector<extent>& runs, uint64_t cluster_bytes, uint32_t n);

// Fixes up one INDX block in place with the 512-byte update-sequence stride.
void fixup_index_block(std::span<uint8_t> block);
