// The block allocation table of a VHDX file and what each entry means for
// a read. Payload blocks of `block_size` bytes cover the disk; after every
// `chunk_ratio` of them the table holds one entry for the sector bitmap
// that covers them (2^23 sectors), used by differencing disks to tell
// the sectors held in the file from those held by the parent.
#pragma once

#include "storage/vhdx_metadata.hpp"

#include <cstdint>
#include <span>

// Payload block states.
constexpr uint32_t vhdx_block_not_present = 0;
constexpr uint32_t vhdx_block_undefined = 1;
constexpr uint32_t vhdx_block_zero = 2;
constexpr uint32_t vhdx_block_unmapped = 3;
constexpr uint32_t vhdx_block_fully_present = 6;
constexpr uint32_t vhdx_block_partially_present = 7;
// The sector bitmap block state that says the bitmap is in the file.
constexpr uint32_t vhdx_bitmap_present = 6;
// Sectors one sector bitmap block covers (its 1 MiB of bits).
constexpr uint64_t vhdx_sectors_per_bitmap = uint64_t(1) << 23;

struct vhdx_layout {
    uint64_t chunk_ratio = 0;   // payload blocks per sector bitmap block
    uint64_t data_blocks = 0;   // payload blocks covering the disk
    uint64_t table_entries = 0; // entries the table must have
};

// The table's shape for the metadata (already checked by parse_vhdx_metadata).
vhdx_layout vhdx_layout_of(const vhdx_metadata& m);

// Index in the table of payload block `block` and of the sector bitmap
// entry of chunk `chunk`.
inline uint64_t vhdx_payload_index(uint64_t block, uint64_t chunk_ratio) { return block + block / chunk_ratio; }
inline uint64_t vhdx_bitmap_index(uint64_t chunk, uint64_t chunk_ratio) { return chunk * (chunk_ratio + 1) + chunk_ratio; }

// An entry's state (low 3 bits) and file offset (the top 44 bits, in MiB).
inline uint32_t vhdx_entry_state(uint64_t entry) { return static_cast<uint32_t>(entry & 7); }
inline uint64_t vhdx_entry_offset(uint64_t entry) { return (entry >> 20) << 20; }

// Where the bytes of a payload block come from.
enum class vhdx_source {
    zeros,    // a block never written, or written as zeros
    file,     // the block's data in this file
    parent,   // the parent's disk
    bitmap,   // per sector: this file where the bitmap bit is set, else the parent
    invalid,  // a state that cannot stand here: damage
};

// What a payload block in state `state` reads as, in a file with or
// without a parent. Without one, blocks not in the file read as zeros;
// with one, blocks not present, undefined or unmapped are the parent's
// and only a block written as zeros is zeros.
vhdx_source vhdx_block_source(uint32_t state, bool differencing);

// True when bit `bit` of a sector bitmap is set (the first sector is the
// least significant bit of the first byte). Bits outside `bitmap` read as
// clear.
bool vhdx_sector_present(std::span<const uint8_t> bitmap, uint64_t bit);
