// The start of a VHDX file: the file identifier, the two headers (the
// current one is the valid one with the higher sequence number) and the
// two copies of the region table, which says where the block allocation
// table and the metadata are. Fields are little-endian; each header and
// table carries a CRC-32C of itself.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

using vhdx_guid = std::array<uint8_t, 16>;

// Where each byte of a GUID's text form (read left to right) is stored.
constexpr size_t vhdx_guid_byte_order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

// A GUID from its text "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in the byte
// order VHDX stores it: the first three groups little-endian, the last
// two as written.
constexpr vhdx_guid vhdx_guid_of(std::string_view text) {
    const auto nibble = [](char c) -> uint8_t {
        return static_cast<uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    };
    vhdx_guid g{};
    uint8_t v[16]{};
    size_t n = 0;
    for (size_t i = 0; i + 1 < text.size() && n < 16; ++i) {
        if (text[i] == '-') continue;
        v[n++] = static_cast<uint8_t>(nibble(text[i]) << 4 | nibble(text[i + 1]));
        ++i;
    }
    for (size_t i = 0; i < 16; ++i) g[vhdx_guid_byte_order[i]] = v[i];
    return g;
}

// The text form of a stored GUID, lower case, without braces.
std::string vhdx_guid_text(const vhdx_guid& g);
// The GUID read at `off` of `s` (zeros when it does not fit).
vhdx_guid vhdx_guid_at(std::span<const uint8_t> s, uint64_t off);

constexpr uint64_t vhdx_header_offsets[2] = {64 * 1024, 128 * 1024};
constexpr uint32_t vhdx_header_bytes = 4096;
constexpr uint64_t vhdx_region_table_offsets[2] = {192 * 1024, 256 * 1024};
constexpr uint32_t vhdx_region_table_bytes = 64 * 1024;
// The format allows at most this many region entries (they fill the table).
constexpr uint32_t max_vhdx_region_entries = 2047;
constexpr uint64_t vhdx_mib = 1024 * 1024;
// The file identifier, the two headers and the two region tables fill the
// file's first MiB; no payload block or sector bitmap can stand there.
constexpr uint64_t vhdx_header_section_bytes = vhdx_mib;

constexpr vhdx_guid vhdx_bat_region = vhdx_guid_of("2dc27766-f623-4200-9d64-115e9bfd4a08");
constexpr vhdx_guid vhdx_metadata_region = vhdx_guid_of("8b7ca206-4790-4b9a-b8fe-575f050f886e");

struct vhdx_header {
    uint64_t sequence = 0;
    vhdx_guid file_write{};
    vhdx_guid data_write{};  // what a child's parent_linkage names
    vhdx_guid log{};         // zero when the log holds nothing to replay
    uint16_t log_version = 0;
    uint16_t version = 0;
    uint32_t log_length = 0;
    uint64_t log_offset = 0;
};

// Reads one header from its 4096 bytes and checks signature, checksum and
// version. False with `why` saying what is wrong.
bool parse_vhdx_header(std::span<const uint8_t> s, vhdx_header& out, std::string& why);

// Of two headers, the one to use: the valid one, or of two valid ones the
// one with the higher sequence number; -1 when neither is valid.
int current_vhdx_header(const bool (&valid)[2], const vhdx_header (&h)[2]);

struct vhdx_region {
    uint64_t offset = 0;  // file offset
    uint32_t length = 0;  // bytes
    bool found = false;
};

struct vhdx_regions {
    vhdx_region bat;
    vhdx_region metadata;
};

// Reads a region table from its 64 KiB and checks signature, checksum and
// entry count. Both known regions must be listed once; any other region
// marked required makes the file one this reader cannot read. False with
// `why` saying what is wrong.
bool parse_vhdx_region_table(std::span<const uint8_t> s, vhdx_regions& out, std::string& why);

// True when the CRC-32C of `s`, with its four bytes at `checksum_at` taken
// as zeros, is the value stored there.
bool vhdx_checksum_ok(std::span<const uint8_t> s, uint32_t checksum_at);
