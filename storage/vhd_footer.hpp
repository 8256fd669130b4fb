// The VHD footer: the 512 bytes at the end of every VHD file (fixed disks
// have nothing else; dynamic and differencing ones keep a copy at the
// start). Its fields are big-endian.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

constexpr uint32_t vhd_footer_bytes = 512;
// The oldest writers left the footer one byte short.
constexpr uint32_t vhd_short_footer_bytes = 511;
constexpr uint32_t vhd_sector = 512;

// Largest disk accepted: the format stops at 2040 GiB, so a size above
// 64 TiB is damage, and the bound keeps offset arithmetic far from
// overflow.
constexpr uint64_t max_vhd_disk_bytes = uint64_t(64) << 40;

enum class vhd_type : uint32_t { fixed = 2, dynamic = 3, differencing = 4 };

struct vhd_footer {
    uint32_t features = 0;
    uint32_t version = 0;
    uint64_t data_offset = 0;   // the dynamic header; all ones in a fixed disk
    uint32_t timestamp = 0;     // seconds since 2000-01-01 UTC
    uint64_t original_size = 0;
    uint64_t current_size = 0;  // bytes of the disk
    uint32_t disk_type = 0;
    uint32_t checksum = 0;
    std::array<uint8_t, 16> unique_id{};
};

// One's complement of the sum of every byte of `s` but the four at
// `checksum_at` (the checksum of the footer and of the dynamic header).
uint32_t vhd_checksum(std::span<const uint8_t> s, uint32_t checksum_at);

// Reads a footer from `s` (512 bytes, or 511 from the oldest writers) and
// checks its cookie, checksum, type and size. False with `why` saying
// what is wrong.
bool parse_vhd_footer(std::span<const uint8_t> s, vhd_footer& out, std::string& why);
