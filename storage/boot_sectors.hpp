// File-system identification from a partition's first bytes: NTFS,
// BitLocker, exFAT, FAT16, FAT32, ext and HFS+/HFSX.
#pragma once

#include "storage/partitions.hpp"

#include <cstdint>
#include <span>

// Bytes a caller hands to identify_fs so that every file system can be told:
// ext and HFS+ keep their superblock / volume header at byte 1024.
constexpr uint32_t identify_bytes = 2048;

// Recognises the file system whose first bytes are `bytes` and fills the
// partition's type, fs_name and geometry fields. False (partition unchanged)
// when fewer than 512 bytes are given or nothing is recognised.
bool identify_fs(Partition& p, std::span<const uint8_t> bytes);

// True when the first sector is a volume boot sector the partition scan
// treats as a bare volume ("EXFA", "MSDO" or "NTFS" at byte 3).
bool looks_like_volume_boot_sector(std::span<const uint8_t> sector);
