// The header of one attribute inside a FILE record.
#pragma once

#include "storage/le.hpp"

#include <cstdint>
#include <string>

namespace attr_header {
constexpr size_t type = 0;
constexpr size_t length = 4;
constexpr size_t non_resident = 8;
constexpr size_t name_length = 9;
constexpr size_t name_offset = 10;
constexpr size_t flags = 12;
constexpr size_t id = 14;
// resident
constexpr size_t value_length = 16;
constexpr size_t value_offset = 20;
// non-resident
constexpr size_t first_vcn = 16;
constexpr size_t last_vcn = 24;
constexpr size_t runlist_offset = 32;
constexpr size_t compression_unit = 34;
constexpr size_t allocated_size = 40;
constexpr size_t real_size = 48;
constexpr size_t initialized_size = 56;
constexpr size_t compressed_size = 64;
constexpr size_t resident_size = 24;  // smallest resident header
}  // namespace attr_header

// Attribute type codes.
constexpr uint32_t attr_standard_information = 0x10;
constexpr uint32_t attr_attribute_list = 0x20;
constexpr uint32_t attr_file_name = 0x30;
constexpr uint32_t attr_object_id = 0x40;
constexpr uint32_t attr_security_descriptor = 0x50;
constexpr uint32_t attr_volume_name = 0x60;
constexpr uint32_t attr_volume_information = 0x70;
constexpr uint32_t attr_data = 0x80;
constexpr uint32_t attr_index_root = 0x90;
constexpr uint32_t attr_index_allocation = 0xA0;
constexpr uint32_t attr_bitmap = 0xB0;
constexpr uint32_t attr_reparse_point = 0xC0;
constexpr uint32_t attr_logged_utility_stream = 0x100;
constexpr uint32_t attr_end = 0xFFFFFFFF;

// The $FILE_NAME flag that marks a folder's name (it has an $I30 index).
constexpr uint32_t file_name_directory = 0x10000000;

// The attribute flag bits.
constexpr uint16_t attr_flag_compressed = 0x0001;
constexpr uint16_t attr_flag_encrypted = 0x4000;
constexpr uint16_t attr_flag_sparse = 0x8000;

// The bytes of the attribute starting at `offset` of a record, bounded by
// its length field and by the record; empty when the header does not fit.
inline le::bytes attribute_at(le::bytes record, uint64_t offset) {
    if (!le::fits(record, offset, 16)) return {};
    const uint32_t len = le::u32(record, offset + attr_header::length);
    if (len == 0 || !le::fits(record, offset, len)) return {};
    return le::sub(record, offset, len);
}

// The resident value of an attribute, or an empty span when it lies outside.
inline le::bytes resident_value(le::bytes attr) {
    return le::sub(attr, le::u16(attr, attr_header::value_offset), le::u32(attr, attr_header::value_length));
}
