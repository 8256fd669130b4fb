// The metadata region of a VHDX file: a table of items, each found by its
// GUID, of which the reader needs the file parameters (block size, whether
// the disk has a parent), the virtual disk size, the logical sector size
// and, for a differencing disk, the parent locator.
#pragma once

#include "storage/vhdx_header.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

constexpr uint32_t vhdx_metadata_table_bytes = 64 * 1024;
// The format allows at most this many metadata entries.
constexpr uint32_t max_vhdx_metadata_entries = 2047;
// Largest metadata region read: Windows and qemu write 1 MiB; anything
// far larger is damage, and the bound is the memory one open may take.
constexpr uint32_t max_vhdx_metadata_bytes = 32u << 20;
// Block sizes the format allows: a power of two from 1 MiB to 256 MiB.
constexpr uint32_t min_vhdx_block_bytes = 1u << 20;
constexpr uint32_t max_vhdx_block_bytes = 256u << 20;
// Largest virtual disk: the format's own limit, 64 TiB.
constexpr uint64_t max_vhdx_disk_bytes = uint64_t(64) << 40;

constexpr vhdx_guid vhdx_file_parameters = vhdx_guid_of("caa16737-fa36-4d43-b3b6-33f0aa44e76b");
constexpr vhdx_guid vhdx_disk_size_item = vhdx_guid_of("2fa54224-cd1b-4876-b211-5dbed83bf4b8");
constexpr vhdx_guid vhdx_disk_id_item = vhdx_guid_of("beca12ab-b2e6-4523-93ef-c309e000c746");
constexpr vhdx_guid vhdx_logical_sector_item = vhdx_guid_of("8141bf1d-a96f-4709-ba47-f233a8faab5f");
constexpr vhdx_guid vhdx_physical_sector_item = vhdx_guid_of("cda348c7-445d-4471-9cc9-e9885251c556");
constexpr vhdx_guid vhdx_parent_locator_item = vhdx_guid_of("a8d35f2d-b30b-454d-abf7-d3d84834ab0c");
constexpr vhdx_guid vhdx_locator_type = vhdx_guid_of("b04aefb7-d19e-4a81-b789-25b8e9445913");

struct vhdx_metadata {
    uint32_t block_size = 0;
    bool leave_blocks_allocated = false;  // a fixed disk
    bool has_parent = false;
    uint64_t disk_size = 0;
    uint32_t logical_sector = 0;
    uint32_t physical_sector = 0;
    bool has_locator = false;
    // The parent locator's keys and values (relative_path, parent_linkage, ...).
    std::vector<std::pair<std::u16string, std::u16string>> locator;
};

// Reads the table at the start of `region` (the metadata region's bytes)
// and the items it points at, and checks the values the reader relies on.
// Any unknown item marked required, an item outside the region, a missing
// item the reader needs or a value out of range fails with `why`.
bool parse_vhdx_metadata(std::span<const uint8_t> region, vhdx_metadata& out, std::string& why);

// The key-value pairs of a parent locator item. False with `why` when its
// type is not the one known or an entry lies outside the item.
bool parse_vhdx_parent_locator(std::span<const uint8_t> item,
                               std::vector<std::pair<std::u16string, std::u16string>>& out, std::string& why);

// The value of `key` in a parsed locator; "" when absent.
std::u16string vhdx_locator_value(const vhdx_metadata& m, std::u16string_view key);
