// FILE records and INDX blocks: header checks and update-sequence fixups.
#pragma once

#include "storage/le.hpp"

#include <cstdint>
#include <span>

// FILE record header offsets.
namespace file_header {
constexpr size_t signature = 0;
constexpr size_t usa_offset = 4;
constexpr size_t usa_count = 6;
constexpr size_t sequence = 16;
constexpr size_t link_count = 18;
constexpr size_t first_attribute = 20;
constexpr size_t flags = 22;
constexpr size_t bytes_in_use = 24;
constexpr size_t bytes_allocated = 28;
constexpr size_t base_reference = 32;
constexpr size_t next_attribute_id = 40;
constexpr size_t record_number = 44;
constexpr size_t size = 48;  // header bytes before the fixup array
}  // namespace file_header

constexpr uint16_t record_in_use = 0x0001;
constexpr uint16_t record_is_directory = 0x0002;

// The update sequence protects every 512-byte stride of a record or index
// block, whatever the volume's sector size.
constexpr uint32_t fixup_stride = 512;
// A FILE record's fixup array is at offset 48 and has at most 9 words
// (the sequence number and 8 strides: records of at most 4096 bytes).
// Records in the older layout (NTFS 3.0, still written by some drivers)
// carry the array at 42 and have no record-number field.
constexpr uint16_t file_usa_offset = 48;
constexpr uint16_t file_usa_offset_old = 42;
constexpr uint16_t file_max_usa_count = 9;
// The first attribute of a valid FILE record starts at or before this.
constexpr uint16_t file_max_first_attribute = 72;
// A BAAD record accepted by the checked read has at most this many words.
constexpr uint16_t baad_max_usa_count = 10;
// The checked read needs at least one small record's worth of bytes.
constexpr size_t checked_min_bytes = 1024;

constexpr uint64_t entry_number_mask = 0x0000FFFFFFFFFFFFULL;

enum record_kind : int { kind_none = 0, kind_file = 1, kind_indx = 2, kind_baad = 3 };

// The header of a FILE record is valid when the signature is "FILE", the
// fixup array starts at 48 (or at 42 in the older layout), holds at most 9
// words and the first attribute starts at or before 72, after the array.
bool valid_file_header(le::bytes record);

// Replaces the last word of each 512-byte stride (while the stride lies in
// the first `bytes_read` bytes) with its saved word from the array at
// `usa_offset` of `usa_count` words. The sequence number is not compared
// with the stride tails. A count of 0 or 1 changes nothing. False only when
// the array itself does not fit the buffer.
bool apply_fixups(std::span<uint8_t> buffer, size_t bytes_read, uint32_t usa_offset, uint32_t usa_count);

// True when the record has the newer layout with its own record number.
bool has_record_number(le::bytes record);

// True when `record` is an extension record of entry `base`: a file
// record holding attributes whose base reference names that entry. An
// attribute list of a damaged entry may point at records of other files,
// whose names and streams are not its own, or at slots that hold no file
// record (an index block passes the fixups too).
bool extends_entry(le::bytes record, uint64_t base);

// The plain variant used for every ordinary record read: accepts a valid
// FILE header or an INDX signature (array where the header says).
bool fixup_plain(std::span<uint8_t> buffer);

// The checked variant: FILE (kind 1), INDX (2) or BAAD (3, count at most
// 10); the buffer must hold at least 1024 bytes and the strides the array
// covers. Returns the kind, or kind_none.
int fixup_checked(std::span<uint8_t> buffer);

// The entry-level variant: FILE (valid header) and INDX are fixed and
// accepted; BAAD is accepted unfixed with `bad` set; anything else fails.
bool fixup_entry(std::span<uint8_t> buffer, bool& bad);
