// The dynamic disk header of a dynamic or differencing VHD ("cxsparse",
// 1024 bytes, big-endian): where the block allocation table is, the block
// size, and for a differencing disk who its parent is and where to find it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

constexpr uint32_t vhd_header_bytes = 1024;
constexpr uint32_t vhd_locator_count = 8;

// Block sizes accepted: a power of two from one sector to 256 MiB. Tools
// write 2 MiB (512 KiB for some); the upper bound keeps one block's bitmap
// and data offsets small.
constexpr uint32_t min_vhd_block_bytes = 512;
constexpr uint32_t max_vhd_block_bytes = 256u << 20;
// Longest parent locator read: a Windows path is at most 32767 UTF-16
// units.
constexpr uint32_t max_vhd_locator_bytes = 65536;

// Locator platform codes of the two locators read: a Windows path relative
// to the child's folder and an absolute one, both UTF-16LE.
constexpr uint32_t vhd_locator_relative = 0x57327275;  // "W2ru"
constexpr uint32_t vhd_locator_absolute = 0x57326B75;  // "W2ku"

struct vhd_locator {
    uint32_t code = 0;
    uint32_t space = 0;   // sectors reserved for the data
    uint32_t length = 0;  // bytes of the data
    uint64_t offset = 0;  // file offset of the data
};

struct vhd_dynamic_header {
    uint64_t table_offset = 0;  // file offset of the block allocation table
    uint32_t max_entries = 0;   // entries of that table
    uint32_t block_size = 0;    // bytes of data per block, without its bitmap
    uint32_t checksum = 0;
    std::array<uint8_t, 16> parent_id{};
    uint32_t parent_time = 0;
    std::u16string parent_name;  // as written; may be a whole path
    std::array<vhd_locator, vhd_locator_count> locators{};
};

// Reads the header from its 1024 bytes and checks its cookie, checksum and
// block size. False with `why` saying what is wrong.
bool parse_vhd_header(std::span<const uint8_t> s, vhd_dynamic_header& out, std::string& why);

// Bytes of a block's sector bitmap: one bit per sector, rounded up to
// whole sectors.
uint32_t vhd_bitmap_bytes(uint32_t block_size);

// True when bit `sector` of a block's bitmap is set (the first sector is
// the most significant bit of the first byte). Bits outside `bitmap` read
// as clear.
bool vhd_sector_present(std::span<const uint8_t> bitmap, uint64_t sector);

// The path in a W2ru or W2ku locator's data: UTF-16LE up to the first NUL.
std::u16string vhd_locator_path(std::span<const uint8_t> data);
