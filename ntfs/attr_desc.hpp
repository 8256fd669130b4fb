// The attribute items of one MFT entry, as the listing consumes them.
#pragma once

#include "ntfs/runlist.hpp"

#include <cstdint>
#include <string>
#include <vector>

// Type code of the item that carries the record header's facts.
constexpr uint32_t attr_entry_header = 0x110;

// Bits of `rec_flags` in the entry-header item.
constexpr uint8_t rec_flag_not_in_use = 0x01;
constexpr uint8_t rec_flag_directory = 0x02;
constexpr uint8_t rec_flag_always = 0x04;
constexpr uint8_t rec_link_count_shift = 3;     // four bits: low bits of the link count
constexpr uint8_t rec_flag_extension = 0x80;

struct attr_desc {
    uint32_t type = 0;
    uint16_t attr_id = 0;
    uint16_t attr_flags = 0;
    uint64_t file_ref = 0;       // entry number; high 16 bits the sequence number
    uint8_t non_resident = 0;

    // entry header
    uint64_t self_ref = 0;
    uint8_t rec_flags = 0;
    uint64_t base_ref = 0;

    // $STANDARD_INFORMATION and $FILE_NAME times (access before MFT change)
    uint64_t created = 0;
    uint64_t modified = 0;
    uint64_t accessed = 0;
    uint64_t mft_changed = 0;
    uint32_t file_attributes = 0;   // $STANDARD_INFORMATION
    uint64_t parent_ref = 0;        // $FILE_NAME
    uint8_t name_space = 0;         // $FILE_NAME
    uint8_t name_flags = 0;         // $FILE_NAME: low byte of its flags

    // other attributes, non-resident
    uint64_t owner_entry = 0;
    uint64_t allocated_size = 0;
    uint64_t real_size = 0;         // also $FILE_NAME's real size
    uint64_t initialized_size = 0;
    uint64_t compressed_size = 0;
    uint8_t compression_unit = 0;

    // other attributes, resident
    uint32_t value_length = 0;
    uint8_t object_id[16] = {};     // $OBJECT_ID of exactly 16 bytes
    uint8_t has_object_id = 0;

    std::string name;               // stream or index name (UTF-8); volume label
    std::string text;               // file name, or the link target
    std::vector<extent> extents;    // non-resident items, VCNs from 0
    std::vector<uint8_t> value;     // resident value (when below the record size)
    uint32_t record_size = 0;
};
