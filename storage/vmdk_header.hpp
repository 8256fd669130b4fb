// The VMware hosted sparse extent header ("KDMV") and the text descriptor
// embedded after it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

constexpr uint32_t vmdk_magic = 0x564D444B;  // "KDMV" in file byte order
constexpr uint32_t vmdk_sector = 512;        // every header count is in these

// Largest virtual disk accepted, in sectors: hosted sparse disks stop at
// 62 TiB, so anything above 64 TiB is damage, and the limit keeps
// capacity x 512 and the grain-directory arithmetic far from overflow.
constexpr uint64_t max_vmdk_capacity_sectors = uint64_t(1) << 37;
// Largest grain accepted, in sectors (32 MiB). Tools write 128 (64 KiB).
constexpr uint64_t max_vmdk_grain_sectors = uint64_t(1) << 16;
// Largest number of entries per grain table. The format fixes 512.
constexpr uint32_t max_vmdk_gtes_per_gt = 4096;
// Largest embedded descriptor, in sectors (1 MiB). Tools write 20.
constexpr uint64_t max_vmdk_descriptor_sectors = 2048;
// Largest total of grain tables held in memory: those of an 8 TiB disk with
// 64 KiB grains. Larger tables are refused rather than loaded.
constexpr uint64_t max_vmdk_table_bytes = uint64_t(512) << 20;

// Header flags: bit 2 means a grain-table entry of 1 stands for a grain of
// zeros; bit 16 means compressed grains, which are not handled.
constexpr uint32_t vmdk_flag_zeroed_grain = 1u << 2;
constexpr uint32_t vmdk_flag_compressed = 1u << 16;

struct vmdk_sparse_header {
    uint32_t magic = 0;
    uint32_t version = 0;
    uint32_t flags = 0;
    uint64_t capacity = 0;           // sectors
    uint64_t grain_size = 0;         // sectors
    uint64_t descriptor_offset = 0;  // sectors
    uint64_t descriptor_size = 0;    // sectors (low 32 bits used)
    uint32_t num_gtes_per_gt = 0;
    uint64_t rgd_offset = 0;         // sectors; the redundant directory, 0 when none
    uint64_t gd_offset = 0;          // sectors
    uint64_t overhead = 0;           // sectors
    uint16_t compress_algorithm = 0;
};

// Reads the header fields from the file's first sector.
vmdk_sparse_header read_sparse_header(std::span<const uint8_t> sector);

// Grain-directory entries needed to cover the capacity (0 when the header
// has no grains, or grains or tables beyond the limits above).
uint64_t grain_directory_entries(const vmdk_sparse_header& h);

// Checks every count and offset of the header against the limits above and
// the length of the file, so that nothing read from it can drive an
// allocation, a loop or a read past the file. False when it fails any.
bool sparse_header_sane(const vmdk_sparse_header& h, uint64_t file_length);

struct vmdk_descriptor {
    std::vector<std::u16string> lines;  // every non-empty line
    std::string encoding;
    std::string cid;
    std::string parent_cid;
    std::string parent_hint;            // as written, quotes included
};

// Splits the descriptor text (up to its first NUL) into lines and takes the
// keys the chain needs; keys match case-insensitively, values keep their
// case.
void parse_descriptor(std::span<const uint8_t> text, vmdk_descriptor& d);
