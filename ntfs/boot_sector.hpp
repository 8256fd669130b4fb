// The NTFS boot sector: the fields that give the volume's geometry.
#pragma once

#include "storage/le.hpp"

#include <cstdint>

constexpr uint32_t boot_sector_size = 512;

// Sector sizes NTFS volumes are made with; anything else is not a volume
// this reader can trust for cluster arithmetic.
constexpr uint32_t min_bytes_per_sector = 256;
constexpr uint32_t max_bytes_per_sector = 4096;
// Windows formats clusters of up to 2 MiB; larger products of the two
// fields are damage.
constexpr uint32_t max_bytes_per_cluster = 2u * 1024 * 1024;
// Record sizes outside this range cannot hold a FILE record (its header
// alone is 48 bytes plus the fixup array) or exceed anything NTFS makes;
// the upper bound also caps the allocation for record 0.
constexpr uint32_t min_record_size = 256;
constexpr uint32_t max_record_size = 65536;

struct boot_sector_fields {
    uint16_t bytes_per_sector = 0;
    uint32_t sectors_per_cluster = 0;   // decoded (see parse_boot_sector)
    uint64_t total_sectors = 0;
    uint64_t mft_lcn = 0;
    uint64_t mft_mirror_lcn = 0;        // $MFTMirr: copies of the MFT's first records
    int8_t clusters_per_record = 0;     // signed: negative means 2^-c bytes
};

// True when the 8 bytes at offset 3 read "NTFS    ".
bool has_ntfs_oem_id(le::bytes boot);

// Reads the geometry fields. Fails when the OEM id is not NTFS or the
// sector and cluster sizes are not ones a volume can have. A
// sectors-per-cluster byte above 0x80 is the large-cluster encoding
// 2^(256 - value).
bool parse_boot_sector(le::bytes boot, boot_sector_fields& out);

// Record size in bytes from the clusters-per-record byte: 2^-c when c < 0,
// else c clusters. 0 when the value is out of range.
uint32_t record_size_from_boot(int8_t clusters_per_record, uint32_t bytes_per_cluster);
