// The master boot record and the chain of extended boot records behind an
// extended partition.
#pragma once

#include "storage/partitions.hpp"

#include <cstdint>
#include <span>

struct SectorSource;

// Where the four 16-byte partition entries and the boot signature stand in
// an MBR or extended boot record, whatever the disk's sector size.
constexpr uint64_t mbr_entry_table = 446;
constexpr uint64_t mbr_signature_offset = 510;
constexpr uint16_t boot_signature = 0xAA55;

// True for the MBR type bytes the scan takes as partitions.
bool mbr_type_accepted(uint8_t type);
// Types 5, 15 and 0x85: an extended partition, or in an extended boot record a
// link to the next record.
bool mbr_type_extended(uint8_t type);

// Outcome of reading an MBR.
enum class mbr_result {
    partitions,  // the list holds what the table describes (possibly nothing)
    gpt,         // a protective entry (type 238): the disk is read as GPT
};

// Reads the four entries of the MBR in `sector0`, with sectors of
// `sector_size` bytes, into `list`: the primaries, the logical partitions
// of the first extended partition's chain after it, and a guessed entry at
// sector 63 when an NTFS boot sector stands there but no table names it.
// With `past_protective`, a protective entry is passed over instead of
// making the disk a GPT one: the other entries of a hybrid MBR.
mbr_result parse_mbr(SectorSource& src, std::span<const uint8_t> sector0, uint32_t sector_size, PartitionList& list,
                     bool past_protective = false);

// Searches 512-byte sectors from byte 512 up to 1 MiB for the first record
// that carries the boot signature but is not a volume boot sector, and
// reads it as the first record of an extended chain. For disks whose MBR
// was lost.
void scan_for_stray_ebr(SectorSource& src, PartitionList& list);
