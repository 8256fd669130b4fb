// The GUID partition table: its header at LBA 1 and its entry array.
#pragma once

#include "storage/partitions.hpp"

#include <cstdint>

struct SectorSource;

// The sector sizes a GPT disk may have; the header stands at the second
// sector, so one of these byte offsets.
constexpr uint32_t gpt_sector_sizes[] = {512, 1024, 2048, 4096, 8192, 16384};

// Finds the GPT header and appends one partition per used entry, each
// identified from its first bytes: from the table at the start, or from the
// backup at the end when the start is missing or fails its CRC-32 sums.
// True when at least one was added.
bool scan_gpt(SectorSource& src, PartitionList& list);

// The sector size of a GPT disk: a physical drive's own sector size; else
// the size the boot signature's place implies, when a header stands there;
// else the first place from 512 to 16384 where a header ("EFI PART" with
// its own LBA 1) stands. False when there is no header.
bool gpt_sector_size(SectorSource& src, uint32_t& sector_size);
